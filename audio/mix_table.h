// The mix table: all the audio path needs to scale a speaker's block, one
// row per Mumble user who is to be heard; a user without a row is silent.
// A writer (the host's threads or the worker) builds a whole table in its
// own storage and publishes it; the audio thread only reads the published
// table that is current.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/glide.h"
#include "audio/user_home.h"
#include "common/test_seams.h"

inline namespace QL_SEAM_VARIANT {

constexpr size_t kMaxMixRows = 512;

// A table as its writer builds it. Each row holds where the user's level
// is going (gain and pan, and the factors they give) and the glides that
// take it there; a row at rest has glides of length 0.
struct MixTable {
    uint32_t count = 0;
    uint32_t ids[kMaxMixRows];  // Mumble user ids
    float gain[kMaxMixRows];    // one channel, and channels beyond the second
    float left[kMaxMixRows];    // gain x L of the constant-power pan
    float right[kMaxMixRows];   // gain x R
    float pan[kMaxMixRows];
    Glide gain_glide[kMaxMixRows];  // ends on gain
    Glide pan_glide[kMaxMixRows];   // ends on pan
};

// Appends a row for user from a speaker's gain and pan: clamped, with the
// pan law's factors taken once here, at rest. A gain or pan that is not
// finite gives no row (silence), and so does a full table. False when no
// row was added.
bool mix_add_row(MixTable* t, uint32_t user, float gain, float pan);

// L and R of the constant-power law for a pan in [-1, 1], in single precision.
void pan_factors(float pan, float* left, float* right);

struct MixFactors {
    float gain, left, right;  // all 0 for a user without a row
};

// A row's glides as the audio path reads them, only for a row that has
// them (on); `end` is the row's factors, where both glides end.
struct MixGlides {
    bool on = false;
    Glide gain, pan;  // set only when on

    // The factors at a moment: those of the gain and pan there, by the
    // same pan law; the end's own once both glides are done.
    MixFactors at(const MixFactors& end, uint64_t now_us) const {
        if (!on || (gain.done_by(now_us) && pan.done_by(now_us))) return end;
        const float g = gain.at(now_us);
        float l, r;
        pan_factors(pan.at(now_us), &l, &r);
        return MixFactors{g, g * l, g * r};
    }
};

// The published tables: a seqlock over rotating slots. There is a fixed set
// of three slots and the index of the current one. A writer copies its
// table into the oldest slot, never the current one, the slot's version
// odd while it does, and then makes the slot current with one atomic
// store. A reader takes the current slot, looks the user up in
// it through a hash index, and checks that the slot's version did not move
// meanwhile; it tries again in the rare case that it did (the slot was
// being rewritten because the reader was overtaken by two publications).
// Readers hold nothing, so a writer never waits, and a writer preempted
// mid-copy holds up no reader: the current slot is not the one it writes.
class MixPublisher {
public:
    MixPublisher();  // every slot an empty table

    // The reader's side, for any number of threads at once: allocates
    // nothing, makes no system call, takes no lock, never waits.
    // The user's factors, at the end of their glides; a row's glides, when
    // it has any, go to *glides (left alone otherwise: on stays false).
    MixFactors factors(uint32_t user, MixGlides* glides = nullptr) const;

    // The writer's side, for one writer at a time.
    void publish(const MixTable& t);

#if QL_TEST_SEAMS
    // Called halfway through the copy into a slot: the moment a writer may
    // be preempted for longest without readers noticing.
    void (*mid_publish_seam)() = nullptr;
    // Called in a reader between finding the user's row and reading its
    // factors: the moment at which being overtaken by writers hurts most.
    void (*mid_read_seam)() = nullptr;
#endif

private:
    static constexpr uint32_t kSlots = 3;
    static constexpr uint32_t kPlaces = kUserHomePlaces;  // hash index: twice the rows
    static constexpr uint16_t kEmpty = 0xFFFF;
    // A place holds its row's index and, in this bit, whether the row
    // glides: a row at rest costs the look-up no read beyond its factors.
    static constexpr uint16_t kGlides = 0x4000, kRowBits = 0x3FFF;
    static_assert(kMaxMixRows <= kRowBits);
    struct Slot;
    // Out of line: a row at rest, the common case, keeps the look-up small.
    [[gnu::noinline]] static void read_glides(const Slot& s, uint32_t r, float gain, MixGlides* out);
    // Shared words are atomics, read and written relaxed inside the
    // version's bracket, so a reader racing a writer reads stale values,
    // never undefined ones.
    struct alignas(64) Slot {
        std::atomic<uint32_t> version{0};  // odd while being written
        std::atomic<uint16_t> place[kPlaces];
        std::atomic<uint32_t> ids[kMaxMixRows];
        std::atomic<float> gain[kMaxMixRows], left[kMaxMixRows], right[kMaxMixRows], pan[kMaxMixRows];
        // Read only for a row that glides. The lengths in one word, the
        // gain's in the low half.
        std::atomic<uint64_t> lengths[kMaxMixRows];
        std::atomic<float> gain_from[kMaxMixRows], pan_from[kMaxMixRows];
        std::atomic<uint64_t> gain_start[kMaxMixRows], pan_start[kMaxMixRows];
    };
    Slot slots_[kSlots];
    std::atomic<uint32_t> current_{0};
    uint32_t next_ = 1;  // the writer's next slot
};

// The audio thread must never meet a lock inside an atomic (a lock a writer
// can hold): every shared word is a lock-free atomic on both targets.
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uint16_t>::is_always_lock_free &&
              std::atomic<float>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);

// Inline: it is the audio path's whole look-up, called once per block.
inline MixFactors MixPublisher::factors(uint32_t user, MixGlides* glides) const {
    for (;;) {
        // Acquire pairs with the writer's store of current_: the slot's rows
        // as that publication left them are visible from here on.
        const Slot& s = slots_[current_.load(std::memory_order_acquire)];
        // Acquire: the row reads below cannot move above this version read.
        const uint32_t v = s.version.load(std::memory_order_acquire);
        if (v & 1) continue;  // rewritten since the index was read: it has moved on
        MixFactors f{0.0f, 0.0f, 0.0f};
        if (glides) glides->on = false;  // a look-up done again starts afresh
        // Linear probing from the user's home place; the first row with the
        // user's id is theirs. Bounded, as a slot being rewritten may show
        // no empty place.
        uint32_t h = user_home(user);
        for (uint32_t n = 0; n < kPlaces; ++n, h = (h + 1) % kPlaces) {
            const uint16_t p = s.place[h].load(std::memory_order_relaxed);
            if (p == kEmpty) break;
            const uint16_t r = p & kRowBits;
            if (r < kMaxMixRows && s.ids[r].load(std::memory_order_relaxed) == user) {
#if QL_TEST_SEAMS
                if (mid_read_seam) mid_read_seam();
#endif
                f = MixFactors{s.gain[r].load(std::memory_order_relaxed), s.left[r].load(std::memory_order_relaxed),
                               s.right[r].load(std::memory_order_relaxed)};
                if ((p & kGlides) && glides) read_glides(s, r, f.gain, glides);
                break;
            }
        }
        // The row reads cannot move below the version's second read. Should
        // any of them have read a later writer's store (made after that
        // writer's release fence), this fence makes the writer's odd version
        // visible to the read below: the look-up is then done again.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.version.load(std::memory_order_relaxed) == v) return f;
    }
}

}  // namespace QL_SEAM_VARIANT
