// Built only into the test variant of the library: lets the test suite
// shorten the worker's waits, make the random source fail, see whether a
// worker thread is still alive, bound the log file to a few bytes and run
// the level glides in simulated time. The
// shipped library has none of this.
#include "common/clock.h"
#include "falloff/timing.h"
#include "host/mumble_abi.h"
#include "identity/client_id.h"
#include "log/rotation.h"
#include "plugin/state.h"

namespace {
bool failing_source(void*, size_t) { return false; }
}  // namespace

QL_EXPORT WorkerTiming* quorra_test_timing() { return &worker_timing_seam(); }
QL_EXPORT void quorra_test_fail_random(bool fail) { set_random_source_seam(fail ? failing_source : nullptr); }
QL_EXPORT bool quorra_test_worker_alive() { return g_worker.alive(); }
QL_EXPORT uint32_t quorra_test_now_ms() { return tick_ms(); }
QL_EXPORT void quorra_test_log_rotate_bytes(uint64_t bytes) { log_rotate_bytes_seam() = bytes; }
// Simulated time for the level glides, in microseconds (0: the real clock).
QL_EXPORT void quorra_test_set_glide_clock(uint64_t us) { glide_clock_seam.store(us, std::memory_order_relaxed); }
