// Built only into the test variant of the library: lets the test suite
// shorten the worker's waits and make the random source fail. The product
// library does not contain this file.
#include "falloff/timing.h"
#include "falloff/worker.h"
#include "identity/client_id.h"
#include "platform/platform.h"
#include "plugin/mumble_abi.h"

namespace {
bool failing_source(void*, size_t) { return false; }
}  // namespace

QL_EXPORT WorkerTiming* quorra_test_timing() { return &g_worker_timing; }
QL_EXPORT void quorra_test_fail_random(bool fail) { set_random_source(fail ? failing_source : nullptr); }
QL_EXPORT bool quorra_test_worker_alive() { return falloff_worker_alive(); }
QL_EXPORT uint32_t quorra_test_now_ms() { return plat::tick_ms(); }
