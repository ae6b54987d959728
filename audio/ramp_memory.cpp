#include "audio/ramp_memory.h"

RampMemory::Claim RampMemory::claim(uint32_t user, const Seen& seen, bool audible) {
    Claim c;
    uint64_t s = seen.state;
    if (seen.kind == Seen::idle) {
        Entry& e = entries_[seen.index];
        if (!e.state.compare_exchange_strong(s, with_status(s, kBusy), std::memory_order_acquire)) return c;
        // Ours now: read again what the last storer left.
        return Claim{seen.index, with_status(s, kBusy), true,
                     {e.gain.load(std::memory_order_relaxed), e.left.load(std::memory_order_relaxed),
                      e.right.load(std::memory_order_relaxed)}};
    }
    if (seen.kind != Seen::none || !seen.place || !audible) return c;
    const uint64_t fresh = (static_cast<uint64_t>(user) << 32) | epoch_word() | kBusy;
    if (!entries_[seen.index].state.compare_exchange_strong(s, fresh, std::memory_order_acquire)) return c;
    return Claim{seen.index, fresh, true, {0.0f, 0.0f, 0.0f}};
}

void RampMemory::release(const Claim& c, const MixFactors& end) {
    if (!c.held) return;
    Entry& e = entries_[c.index];
    // A reader that sees any of the stores below also sees the state moved.
    std::atomic_thread_fence(std::memory_order_release);
    e.gain.store(end.gain, std::memory_order_relaxed);
    e.left.store(end.left, std::memory_order_relaxed);
    e.right.store(end.right, std::memory_order_relaxed);
    // Nobody else changes a busy entry's state, so a plain store lets it go.
    const bool silent = end.gain == 0.0f && end.left == 0.0f && end.right == 0.0f;
    e.state.store(silent ? kFree : with_status(next_version(c.state), kIdle), std::memory_order_release);
}

void RampMemory::clear() {
    uint32_t next = epoch_.load(std::memory_order_relaxed) + 1;
    if (((static_cast<uint64_t>(next) << kEpochShift) & kEpochBits) == 0) ++next;  // epoch 0 is a free word's
    epoch_.store(next, std::memory_order_relaxed);
    reclaim_unless([](uint32_t) { return false; });
}
