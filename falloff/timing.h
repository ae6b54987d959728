// The worker's time constants. Tests shorten them so that nothing waits 20 s
// for a PING; the plug-in itself never changes them.
#pragma once
#include <cstdint>

struct WorkerTiming {
    uint32_t receive_timeout_ms = 5000;
    uint32_t send_timeout_ms = 5000;
    uint32_t ping_interval_ms = 20001;
    uint32_t refresh_interval_ms = 4001;
    uint32_t reconnect_unit_ms = 1000;  // reconnect_sec is counted in these
    uint32_t stop_wait_ms = 1500;       // the longest a stop waits for the worker
    uint32_t tick_offset = 0;           // added to the tick counter (wrap tests)
    uint32_t resolve_delay_ms = 0;      // stands in for a slow name resolution
};

extern WorkerTiming g_worker_timing;
