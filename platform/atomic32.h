// 32-bit values shared between threads without the lock.
#pragma once
#include <atomic>
#include <cstdint>

namespace plat {

using Atomic32 = std::atomic<int32_t>;
static_assert(Atomic32::is_always_lock_free);

// Replaces expected by desired when it holds expected; returns what it held.
inline int32_t atomic_cas(Atomic32* a, int32_t expected, int32_t desired) {
    a->compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    return expected;
}
inline int32_t atomic_exchange(Atomic32* a, int32_t v) {
    return a->exchange(v, std::memory_order_acq_rel);
}
inline int32_t atomic_read(const Atomic32* a) { return a->load(std::memory_order_acquire); }
inline int32_t atomic_read_relaxed(const Atomic32* a) {
    return a->load(std::memory_order_relaxed);
}
inline void atomic_write_relaxed(Atomic32* a, int32_t v) {
    a->store(v, std::memory_order_relaxed);
}

}  // namespace plat
