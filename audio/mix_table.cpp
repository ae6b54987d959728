#include "audio/mix_table.h"

#include <cmath>

#include "common/text.h"

inline namespace QL_SEAM_VARIANT {

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
    t->pan[i] = clamp(pan, -1.0f, 1.0f);
    t->gain_glide[i] = Glide::still(g);
    t->pan_glide[i] = Glide::still(t->pan[i]);
    return true;
}

MixPublisher::MixPublisher() {
    for (Slot& s : slots_)
        for (auto& p : s.place) p.store(kEmpty, std::memory_order_relaxed);
}


void MixPublisher::read_glides(const Slot& s, uint32_t r, float gain, MixGlides* out) {
    const uint64_t lengths = s.lengths[r].load(std::memory_order_relaxed);
    out->on = true;
    out->gain = Glide{s.gain_from[r].load(std::memory_order_relaxed), gain,
                      s.gain_start[r].load(std::memory_order_relaxed), static_cast<uint32_t>(lengths)};
    out->pan = Glide{s.pan_from[r].load(std::memory_order_relaxed), s.pan[r].load(std::memory_order_relaxed),
                     s.pan_start[r].load(std::memory_order_relaxed), static_cast<uint32_t>(lengths >> 32)};
}

void MixPublisher::publish(const MixTable& t) {
    // The oldest slot: never the current one, so readers are not disturbed.
    Slot& s = slots_[next_];
    const uint32_t v = s.version.load(std::memory_order_relaxed);
    s.version.store(v + 1, std::memory_order_relaxed);
    // The odd version before any row store: a reader whose row reads see
    // one of the stores below also sees, after its own acquire fence, this
    // odd version or a later one, and reads again.
    std::atomic_thread_fence(std::memory_order_release);
    for (auto& p : s.place) p.store(kEmpty, std::memory_order_relaxed);
    for (uint32_t i = 0; i < t.count; ++i) {
        s.ids[i].store(t.ids[i], std::memory_order_relaxed);
        s.gain[i].store(t.gain[i], std::memory_order_relaxed);
        s.left[i].store(t.left[i], std::memory_order_relaxed);
        s.right[i].store(t.right[i], std::memory_order_relaxed);
        s.pan[i].store(t.pan[i], std::memory_order_relaxed);
        s.lengths[i].store(static_cast<uint64_t>(t.pan_glide[i].length_us) << 32 | t.gain_glide[i].length_us,
                           std::memory_order_relaxed);
        s.gain_from[i].store(t.gain_glide[i].from, std::memory_order_relaxed);
        s.pan_from[i].store(t.pan_glide[i].from, std::memory_order_relaxed);
        s.gain_start[i].store(t.gain_glide[i].start_us, std::memory_order_relaxed);
        s.pan_start[i].store(t.pan_glide[i].start_us, std::memory_order_relaxed);
#if QL_TEST_SEAMS
        if (i == t.count / 2 && mid_publish_seam) mid_publish_seam();
#endif
    }
    // Rows in table order; a user listed twice is found at the first row.
    for (uint32_t i = 0; i < t.count; ++i) {
        uint32_t h = user_home(t.ids[i]);
        while (s.place[h].load(std::memory_order_relaxed) != kEmpty) h = (h + 1) % kPlaces;
        const bool glides = t.gain_glide[i].length_us != 0 || t.pan_glide[i].length_us != 0;
        s.place[h].store(static_cast<uint16_t>(i | (glides ? kGlides : 0)), std::memory_order_relaxed);
    }
    // Release: every row store above is visible to a reader that sees the
    // even version, and to one that finds this slot current.
    s.version.store(v + 2, std::memory_order_release);
    current_.store(next_, std::memory_order_release);
    next_ = (next_ + 1) % kSlots;
}

}  // namespace QL_SEAM_VARIANT
