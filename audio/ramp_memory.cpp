#include "audio/ramp_memory.h"

RampMemory::Claim RampMemory::claim(uint32_t user, bool want_entry) {
    Claim c;
    int free_at = -1, other_at = -1;
    const uint32_t h = home(user);
    for (uint32_t n = 0; n < kProbe; ++n) {
        const uint32_t i = (h + n) % kEntries;
        uint64_t s = entries_[i].state.load(std::memory_order_relaxed);
        if (user_of(s) == user && status(s) != kFree) {
            // The speaker's own entry. Busy: another thread has this speaker
            // now, so this block goes without memory.
            if (status(s) != kIdle ||
                !entries_[i].state.compare_exchange_strong(s, word(user, kBusy), std::memory_order_acquire))
                return c;
            Entry& e = entries_[i];
            c = Claim{i, word(user, kBusy), true,
                      {e.gain.load(std::memory_order_relaxed), e.left.load(std::memory_order_relaxed),
                       e.right.load(std::memory_order_relaxed)}};
            return c;
        }
        if (status(s) == kFree && free_at < 0) free_at = static_cast<int>(i);
        if (status(s) == kIdle && other_at < 0) other_at = static_cast<int>(i);
    }
    if (!want_entry) return c;
    // A new entry: a free place, or, when the places are all taken, another
    // speaker's idle one (that speaker then fades in from silence).
    for (int i : {free_at, other_at}) {
        if (i < 0) continue;
        uint64_t s = entries_[i].state.load(std::memory_order_relaxed);
        if (status(s) != kFree && status(s) != kIdle) continue;
        if (entries_[i].state.compare_exchange_strong(s, word(user, kBusy), std::memory_order_acquire))
            return Claim{static_cast<uint32_t>(i), word(user, kBusy), true, {0.0f, 0.0f, 0.0f}};
    }
    return c;
}

void RampMemory::release(const Claim& c, const MixFactors& end) {
    if (!c.held) return;
    Entry& e = entries_[c.index];
    e.gain.store(end.gain, std::memory_order_relaxed);
    e.left.store(end.left, std::memory_order_relaxed);
    e.right.store(end.right, std::memory_order_relaxed);
    const bool silent = end.gain == 0.0f && end.left == 0.0f && end.right == 0.0f;
    uint64_t s = c.state;
    // Fails only when a writer marked the entry doomed meanwhile: then free it.
    if (silent || !e.state.compare_exchange_strong(s, c.state - kBusy + kIdle, std::memory_order_release))
        e.state.store(kFree, std::memory_order_release);
}

void RampMemory::reclaim(Entry& e, uint64_t s) {
    // Idle: free it. Busy: mark it, and its audio thread frees it on release.
    for (;;) {
        const uint64_t st = status(s);
        if (st == kFree || st == kDoomed) return;
        const uint64_t next = st == kIdle ? kFree : (s | kDoomed);
        if (e.state.compare_exchange_weak(s, next, std::memory_order_acq_rel)) return;
    }
}
