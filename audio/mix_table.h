// The mix table: all the audio path needs to scale a speaker's block, one
// row per Mumble user who is to be heard; a user without a row is silent.
// The writers (the host's threads and the worker) build a whole table and
// publish it; the audio thread only reads the table that is current.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/test_seams.h"

constexpr size_t kMaxMixRows = 512;

struct MixTable {
    uint32_t count;
    uint32_t ids[kMaxMixRows];  // Mumble user ids, packed for the scan
    float gain[kMaxMixRows];    // one channel, and channels beyond the second
    float left[kMaxMixRows];    // gain x L of the constant-power pan
    float right[kMaxMixRows];   // gain x R
};

// Appends a row for user from a speaker's gain and pan: clamped, with the
// pan law's factors taken once here. A gain or pan that is not finite gives
// no row (silence), and so does a full table. False when no row was added.
bool mix_add_row(MixTable* t, uint32_t user, float gain, float pan);

// L and R of the constant-power law for a pan in [-1, 1], in single precision.
void pan_factors(float pan, float* left, float* right);

struct MixFactors {
    float gain, left, right;  // all 0 for a user without a row
};

// A fixed set of tables and the index of the current one. Readers never
// wait on a writer: each pins the current table by its own slot's counter,
// checks it is still current, and reads. One writer at a time fills a table
// that no reader holds, waiting itself for one if it must, and makes it
// current with one atomic store, so readers see the whole old table or the
// whole new one. Any number of reader threads may read at once.
class MixPublisher {
public:
    // The reader's side: the factors of user's row in the current table.
    // Allocates nothing, makes no system call, never blocks.
    MixFactors factors(uint32_t user) const;

    // The writer's side, for one writer at a time: a table to fill (not the
    // current one, held by no reader), then its publication.
    MixTable* begin_write();
    void publish(MixTable* filled);

#if QL_TEST_SEAMS
    // Called between the filling and the publication: the moment a writer
    // may be preempted for longest without readers noticing.
    void (*before_publish_seam)() = nullptr;
#endif

private:
    static constexpr uint32_t kSlots = 4;
    struct alignas(64) Slot {
        mutable std::atomic<uint32_t> readers{0};
        MixTable table{};
    };
    Slot slots_[kSlots];
    std::atomic<uint32_t> current_{0};
};
