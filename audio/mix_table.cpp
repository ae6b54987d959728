#include "audio/mix_table.h"

#include <cmath>
#include <thread>

#include "common/text.h"

void pan_factors(float pan, float* left, float* right) {
    *left = std::sqrt((1.0f - pan) * 0.5f);
    *right = std::sqrt((1.0f + pan) * 0.5f);
}

bool mix_add_row(MixTable* t, uint32_t user, float gain, float pan) {
    // A value that is not a number would turn the speaker's blocks into NaN
    // samples and poison the host's mix; an infinity is no level either.
    if (!std::isfinite(gain) || !std::isfinite(pan) || t->count >= kMaxMixRows) return false;
    const float g = clamp(gain, 0.0f, 1.0f);
    float l, r;
    pan_factors(clamp(pan, -1.0f, 1.0f), &l, &r);
    const uint32_t i = t->count++;
    t->ids[i] = user;
    t->gain[i] = g;
    t->left[i] = g * l;
    t->right[i] = g * r;
    return true;
}

MixFactors MixPublisher::factors(uint32_t user) const {
    // Pin the current slot, then make sure it is still current: a writer
    // that took it for a new table in between has moved the index on, and
    // it never takes a slot whose counter it sees raised.
    uint32_t i;
    for (;;) {
        i = current_.load(std::memory_order_seq_cst);
        slots_[i].readers.fetch_add(1, std::memory_order_seq_cst);
        if (current_.load(std::memory_order_seq_cst) == i) break;
        slots_[i].readers.fetch_sub(1, std::memory_order_release);
    }
    const MixTable& t = slots_[i].table;
    const uint32_t n = t.count;
    MixFactors f{0.0f, 0.0f, 0.0f};
    // Runs of sixteen ids are tested without a branch inside the run, a
    // shape compilers turn into vector compares; the first run with a hit,
    // or the tail, is then walked one id at a time.
    uint32_t k = 0;
    for (; k + 16 <= n; k += 16) {
        unsigned hit = 0;
        for (uint32_t j = 0; j < 16; ++j) hit |= t.ids[k + j] == user;
        if (hit) break;
    }
    for (; k < n; ++k) {
        if (t.ids[k] == user) {
            f = MixFactors{t.gain[k], t.left[k], t.right[k]};
            break;
        }
    }
    slots_[i].readers.fetch_sub(1, std::memory_order_release);
    return f;
}

MixTable* MixPublisher::begin_write() {
    for (;;) {
        const uint32_t cur = current_.load(std::memory_order_seq_cst);
        for (uint32_t i = 0; i < kSlots; ++i) {
            if (i != cur && slots_[i].readers.load(std::memory_order_seq_cst) == 0) {
                slots_[i].table.count = 0;
                return &slots_[i].table;
            }
        }
        // Every other slot is pinned by a reader, each for one look-up.
        std::this_thread::yield();
    }
}

void MixPublisher::publish(MixTable* filled) {
#if QL_TEST_SEAMS
    if (before_publish_seam) before_publish_seam();
#endif
    for (uint32_t i = 0; i < kSlots; ++i)
        if (&slots_[i].table == filled) current_.store(i, std::memory_order_seq_cst);
}
