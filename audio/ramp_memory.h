// The factors the audio path applied at the end of each speaker's last
// block, so that a change of level is ramped across the next block instead
// of reaching the output as a step (a click). Fixed memory keyed by Mumble
// user id; a speaker without an entry counts as silent.
//
// An entry's state word is the only thing writers touch. The audio thread
// claims an entry (idle -> busy) before it reads or writes the factors and
// releases it after; writers reclaim only idle entries and mark a busy one,
// which its audio thread then frees on release. So no writer ever tears
// an entry in use, and no one waits: a failed claim means a plain step.
#pragma once
#include <atomic>
#include <cstdint>

#include "audio/mix_table.h"

class RampMemory {
public:
    static constexpr uint32_t kEntries = 1024;  // twice the directory's users
    static constexpr uint32_t kProbe = 16;      // places searched from a user's home

    // One claimed entry, or none (held false: no memory for this block).
    struct Claim {
        uint32_t index = 0;
        uint64_t state = 0;
        bool held = false;
        MixFactors last{0.0f, 0.0f, 0.0f};  // what the speaker's last block ended on
    };

    // The audio side, for any number of threads: bounded, no waiting.
    // want_entry: a speaker who has no entry gets one only if it would
    // remember something other than silence.
    Claim claim(uint32_t user, bool want_entry);
    // Stores the factors the block ended on and lets the entry go; an entry
    // ending silent is freed, since silence is what no entry means.
    void release(const Claim& c, const MixFactors& end);

    // The writers' side: reclaims every entry whose user keep() turns down.
    template <class Keep>
    void reclaim_unless(Keep keep) {
        for (Entry& e : entries_) {
            uint64_t s = e.state.load(std::memory_order_relaxed);
            if (status(s) == kFree || keep(user_of(s))) continue;
            reclaim(e, s);
        }
    }
    void clear() {
        reclaim_unless([](uint32_t) { return false; });
    }

private:
    // State word: user id in the high half, status in the low bits.
    static constexpr uint64_t kFree = 0, kIdle = 1, kBusy = 2, kDoomed = 3;
    static uint64_t status(uint64_t s) { return s & 3; }
    static uint32_t user_of(uint64_t s) { return static_cast<uint32_t>(s >> 32); }
    static uint64_t word(uint32_t user, uint64_t st) { return (static_cast<uint64_t>(user) << 32) | st; }
    static uint32_t home(uint32_t user) { return (user * 2654435761u) >> 22; }  // 0..1023
    struct Entry {
        std::atomic<uint64_t> state{kFree};
        std::atomic<float> gain{0.0f}, left{0.0f}, right{0.0f};
    };
    static void reclaim(Entry& e, uint64_t s);
    Entry entries_[kEntries];
};
