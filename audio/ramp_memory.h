// The factors the audio path applied at the end of each speaker's last
// block, so that a change of level is ramped across the next block instead
// of reaching the output as a step (a click). Fixed memory keyed by Mumble
// user id; a speaker without an entry counts as silent.
//
// Each entry has one state word (user id, a version, a status) and the
// factors. Only an audio thread that has claimed an entry (idle -> busy,
// one compare-exchange) writes its factors; it lets the entry go with a new
// version. A steady block writes nothing: it reads the factors and checks
// that the state word did not move meanwhile. Writers touch state words
// only: they free idle entries and mark busy ones doomed, which their audio
// thread then frees on letting go. So no writer tears an entry in use, and
// nobody waits: a claim that fails means a block without a ramp.
#pragma once
#include <atomic>
#include <cstdint>

#include "audio/mix_table.h"

class RampMemory {
public:
    static constexpr uint32_t kEntries = 1024;  // twice the directory's users
    static constexpr uint32_t kProbe = 16;      // places searched from a user's home

    // What the audio thread found for a speaker, without writing anything.
    struct Seen {
        enum Kind : uint8_t { none, in_use, idle } kind = none;
        uint32_t index = 0;  // the speaker's entry (idle), or a place for one (none, with place)
        bool place = false;
        uint64_t state = 0;                  // that entry's state word as read
        MixFactors last{0.0f, 0.0f, 0.0f};  // what the speaker's last block ended on (idle)
    };
    // One claimed entry, or none (held false).
    struct Claim {
        uint32_t index = 0;
        uint64_t state = 0;
        bool held = false;
        MixFactors last{0.0f, 0.0f, 0.0f};
    };

    // The audio side, for any number of threads: bounded, never waits.
    Seen recall(uint32_t user) const;
    // Takes the speaker's idle entry, or, for a speaker who has none and is
    // to be heard, a new one starting silent: a free place, else another
    // speaker's idle entry (that speaker then starts again from silence).
    Claim claim(uint32_t user, const Seen& seen, bool audible);
    // Stores the factors the block ended on and lets the entry go; an entry
    // ending silent is freed, since silence is what no entry means.
    void release(const Claim& c, const MixFactors& end);

    // The writers' side, one writer at a time: every entry whose user keep()
    // turns down is reclaimed.
    template <class Keep>
    void reclaim_unless(Keep keep) {
        for (Entry& e : entries_) {
            const uint64_t s = e.state.load(std::memory_order_relaxed);
            if (status(s) != kFree && !keep(user_of(s))) reclaim(e, s);
        }
    }
    void clear() {
        reclaim_unless([](uint32_t) { return false; });
    }

private:
    // State word: user id in the high half, then a version that moves each
    // time the factors are stored, and the status in the two lowest bits.
    static constexpr uint64_t kFree = 0, kIdle = 1, kBusy = 2, kDoomed = 3, kStatus = 3, kVersion = 4;
    static uint64_t status(uint64_t s) { return s & kStatus; }
    static uint32_t user_of(uint64_t s) { return static_cast<uint32_t>(s >> 32); }
    static uint64_t with_status(uint64_t s, uint64_t st) { return (s & ~kStatus) | st; }
    // The next version, wrapping inside its 30 bits.
    static uint64_t next_version(uint64_t s) {
        return (s & 0xFFFFFFFF00000003ull) | ((s + kVersion) & 0xFFFFFFFCull);
    }
    static uint32_t home(uint32_t user) { return (user * 2654435761u) >> 22; }  // 0..1023
    struct Entry {
        std::atomic<uint64_t> state{kFree};
        std::atomic<float> gain{0.0f}, left{0.0f}, right{0.0f};
    };
    static void reclaim(Entry& e, uint64_t s);
    Entry entries_[kEntries];
};

// Inline: it is all that a steady block adds to the audio path.
inline RampMemory::Seen RampMemory::recall(uint32_t user) const {
    Seen seen;
    const uint32_t h = home(user);
    for (uint32_t n = 0; n < kProbe; ++n) {
        const uint32_t i = (h + n) % kEntries;
        const Entry& e = entries_[i];
        const uint64_t s = e.state.load(std::memory_order_acquire);
        const uint64_t st = status(s);
        if (st != kFree && user_of(s) == user) {
            seen.index = i;
            seen.state = s;
            if (st != kIdle) {
                seen.kind = Seen::in_use;  // another thread stores into it, or it is on its way out
                return seen;
            }
            seen.last = MixFactors{e.gain.load(std::memory_order_relaxed), e.left.load(std::memory_order_relaxed),
                                   e.right.load(std::memory_order_relaxed)};
            std::atomic_thread_fence(std::memory_order_acquire);
            // Stored into meanwhile: its storer has this speaker now.
            seen.kind = e.state.load(std::memory_order_relaxed) == s ? Seen::idle : Seen::in_use;
            return seen;
        }
        // A place for a new entry: the first free one, else the first idle one.
        const bool better = st == kFree ? !seen.place || status(seen.state) != kFree : st == kIdle && !seen.place;
        if (better) {
            seen.index = i;
            seen.state = s;
            seen.place = true;
        }
    }
    return seen;
}
