// The plug-in's clock: a wrapping 32-bit millisecond counter on the
// monotonic clock, whose differences are taken modulo 2^32.
#pragma once
#include <chrono>
#include <cstdint>
#include <thread>

inline uint32_t tick_ms() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

inline void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
