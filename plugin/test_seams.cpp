// Built only into the test variant of the library: lets the test suite
// shorten the worker's waits, make the random source fail and see whether
// a worker thread is still alive. The shipped library has none of this.
#include "falloff/timing.h"
#include "falloff/worker.h"
#include "identity/client_id.h"
#include "platform/platform.h"
#include "plugin/mumble_abi.h"

namespace {
bool failing_source(void*, size_t) { return false; }
}  // namespace

QL_EXPORT WorkerTiming* quorra_test_timing() { return &worker_timing_seam(); }
QL_EXPORT void quorra_test_fail_random(bool fail) { set_random_source_seam(fail ? failing_source : nullptr); }
QL_EXPORT bool quorra_test_worker_alive() { return falloff_worker_alive(); }
QL_EXPORT uint32_t quorra_test_now_ms() { return plat::tick_ms(); }
