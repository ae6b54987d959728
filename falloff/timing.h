// The worker's time constants. The test variant of the library lets the
// tests shorten them so that nothing waits 20 s for a PING; in the shipped
// library they are constants.
#pragma once
#include <cstdint>

#include "common/test_seams.h"

struct WorkerTiming {
    uint32_t receive_timeout_ms = 5000;
    uint32_t send_timeout_ms = 5000;
    uint32_t ping_interval_ms = 20001;
    uint32_t refresh_interval_ms = 4001;
    uint32_t reconnect_unit_ms = 1000;  // reconnect_sec is counted in these
    uint32_t stop_wait_ms = 1500;       // the longest a stop waits for the worker
    uint32_t tick_offset = 0;           // added to the tick counter (wrap tests)
    uint32_t resolve_delay_ms = 0;      // stands in for a slow name resolution
    uint32_t notice_window_ms = 60000;  // the log window's link lines: a few per this
};

// WorkerTiming is one type in both variants, as the test exports hand it
// across; how the code reaches it is the variant's own.
inline namespace QL_SEAM_VARIANT {

#if QL_TEST_SEAMS
WorkerTiming& worker_timing_seam();
inline const WorkerTiming& worker_timing() { return worker_timing_seam(); }
#else
inline constexpr WorkerTiming kWorkerTiming{};
inline const WorkerTiming& worker_timing() { return kWorkerTiming; }
#endif

}  // namespace QL_SEAM_VARIANT
