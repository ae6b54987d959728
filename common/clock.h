// The plug-in's clocks: a wrapping 32-bit millisecond counter on the
// monotonic clock, whose differences are taken modulo 2^32, for the
// worker's waits; and the level glides' microsecond clock, which the audio
// thread reads too.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "common/test_seams.h"
#include "platform/platform.h"

inline uint32_t tick_ms() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

inline void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline namespace QL_SEAM_VARIANT {
#if QL_TEST_SEAMS
// Simulated time for the tests, in microseconds; 0: the real clock. A
// namespace-scope atomic, read relaxed: the tests set it between steps.
inline std::atomic<uint64_t> glide_clock_seam{0};
inline uint64_t glide_now_us() {
    const uint64_t simulated = glide_clock_seam.load(std::memory_order_relaxed);
    return simulated ? simulated : plat::monotonic_us();
}
#else
// When the writers start a glide and where the audio thread finds it:
// one clock for both, which makes no system call (see plat::monotonic_us).
inline uint64_t glide_now_us() { return plat::monotonic_us(); }
#endif
}  // namespace QL_SEAM_VARIANT
