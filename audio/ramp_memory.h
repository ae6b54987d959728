// The factors the audio path applied at the end of each speaker's last
// block, so that a change of level is ramped across the next block instead
// of reaching the output as a step (a click). Fixed memory keyed by Mumble
// user id; a speaker without an entry counts as silent.
//
// Each entry has one state word (user id, the memory's epoch, a version,
// a status) and the factors. Only the audio thread that has claimed an
// entry (idle -> busy, one compare-exchange) writes its factors, and it
// alone lets the entry go again, with a new version. A steady block writes
// nothing: it reads the factors and checks that the state word did not
// move meanwhile. Writers touch idle entries only, freeing them with a
// compare-exchange, and clear the whole memory by moving its epoch on: an
// entry of an older epoch is nobody's. So no writer tears an entry in use,
// and nobody waits: a claim that fails means a block without a ramp.
#pragma once
#include <atomic>
#include <cstdint>

#include "audio/mix_table.h"
#include "audio/user_home.h"
#include "common/test_seams.h"

// The test variant reads through a seam in recall(): its own type (see
// common/test_seams.h).
inline namespace QL_SEAM_VARIANT {

class RampMemory {
public:
    static constexpr uint32_t kEntries = kUserHomePlaces;  // twice the directory's users
    static constexpr uint32_t kProbe = 16;      // places searched from a user's home

    // What the audio thread found for a speaker, without writing anything.
    struct Seen {
        enum Kind : uint8_t { none, in_use, idle } kind = none;
        bool place = false;  // kind none: index is a place for a new entry
        uint32_t index = 0;
        uint64_t state = 0;                  // that entry's state word as read
        MixFactors last{0.0f, 0.0f, 0.0f};  // kind idle: what the last block ended on
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

    // The writers' side, one writer at a time. Frees the idle entries
    // whose user keep() turns down; an entry in use is left for the next time.
    template <class Keep>
    void reclaim_unless(Keep keep) {
        const uint64_t now = epoch_word();
        for (Entry& e : entries_) {
            uint64_t s = e.state.load(std::memory_order_relaxed);
            if (status(s) == kIdle && (epoch_of(s) != now || !keep(user_of(s))))
                e.state.compare_exchange_strong(s, kFree, std::memory_order_relaxed);
        }
    }
    // Every entry becomes nobody's at once, those in use included.
    void clear();

private:
    // State word: user id in the high half; below it the epoch (20 bits),
    // a version that moves each time the factors are stored (10 bits) and
    // the status (2 bits).
    static constexpr uint64_t kFree = 0, kIdle = 1, kBusy = 2, kStatus = 3;
    static constexpr uint64_t kVersionOne = 4, kVersionBits = 0xFFCull, kEpochShift = 12, kEpochBits = 0xFFFFF000ull;
    static uint64_t status(uint64_t s) { return s & kStatus; }
    static uint32_t user_of(uint64_t s) { return static_cast<uint32_t>(s >> 32); }
    static uint64_t epoch_of(uint64_t s) { return s & kEpochBits; }
    static uint64_t with_status(uint64_t s, uint64_t st) { return (s & ~kStatus) | st; }
    static uint64_t next_version(uint64_t s) { return (s & ~kVersionBits) | ((s + kVersionOne) & kVersionBits); }
    uint64_t epoch_word() const {
        return (static_cast<uint64_t>(epoch_.load(std::memory_order_relaxed)) << kEpochShift) & kEpochBits;
    }
    // 20 bytes padded to 32: two entries to a 64-byte cache line, none
    // across two lines.
    struct alignas(32) Entry {
        std::atomic<uint64_t> state{kFree};
        std::atomic<float> gain{0.0f}, left{0.0f}, right{0.0f};
    };
    Entry entries_[kEntries];
    std::atomic<uint32_t> epoch_{0};
};

#if QL_TEST_SEAMS
// Called in recall() between the reads of an idle entry's gain and of its
// other two factors: where a storer overtaking the reader tears the record.
// A namespace-scope pointer, so the seam leaves the class's layout alone.
inline void (*ramp_recall_seam)() = nullptr;
#endif

// The audio thread must never meet a lock inside an atomic.
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<float>::is_always_lock_free);

// Inline: it is all that a steady block adds to the audio path.
inline RampMemory::Seen RampMemory::recall(uint32_t user) const {
    Seen seen;
    int best = 0;
    const uint64_t mine = (static_cast<uint64_t>(user) << 32) | epoch_word();
    const uint32_t h = user_home(user);
    for (uint32_t n = 0; n < kProbe; ++n) {
        const uint32_t i = (h + n) % kEntries;
        const Entry& e = entries_[i];
        const uint64_t s = e.state.load(std::memory_order_acquire);
        const uint64_t st = status(s);
        if (st != kFree && (s & ~(kVersionBits | kStatus)) == mine) {
            seen.index = i;
            seen.state = s;
            if (st != kIdle) {
                seen.kind = Seen::in_use;  // another thread stores into it
                return seen;
            }
            seen.last.gain = e.gain.load(std::memory_order_relaxed);
#if QL_TEST_SEAMS
            if (ramp_recall_seam) ramp_recall_seam();
#endif
            seen.last.left = e.left.load(std::memory_order_relaxed);
            seen.last.right = e.right.load(std::memory_order_relaxed);
            // Pairs with the release fence before a storer's factor stores:
            // if any factor read above saw such a store, the state read below
            // sees that storer's claim or later.
            std::atomic_thread_fence(std::memory_order_acquire);
            // Stored into meanwhile: its storer has this speaker now.
            seen.kind = e.state.load(std::memory_order_relaxed) == s ? Seen::idle : Seen::in_use;
            return seen;
        }
        // A place for a new entry: the first that is nobody's, else the first
        // idle one of another speaker.
        const int rank = st == kFree || (st == kIdle && epoch_of(s) != epoch_of(mine)) ? 2 : st == kIdle ? 1 : 0;
        if (rank > best) {
            best = rank;
            seen.index = i;
            seen.state = s;
            seen.place = true;
        }
    }
    return seen;
}

}  // namespace QL_SEAM_VARIANT
