#include "mixer/glide_plan.h"

#include <algorithm>
#include <bit>

namespace {
bool same(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// The glide that takes a value from where `was` stands at now to `to`:
// `was` itself while it already heads there.
Glide toward(const Glide& was, float to, uint64_t now_us, uint32_t length_us) {
    if (same(was.to, to)) return was;
    return Glide{was.at(now_us), to, now_us, length_us};
}

Glide rested(const Glide& g, uint64_t now_us) { return g.done_by(now_us) ? Glide::still(g.to) : g; }

// before's rows by user id, the first row of each id first.
struct RowIndex {
    uint64_t keys[kMaxMixRows];  // id << 32 | row
    uint32_t count = 0;
    explicit RowIndex(const MixTable& t) : count(t.count) {
        for (uint32_t i = 0; i < count; ++i) keys[i] = static_cast<uint64_t>(t.ids[i]) << 32 | i;
        std::sort(keys, keys + count);
    }
    int find(uint32_t user) const {
        const uint64_t* k = std::lower_bound(keys, keys + count, static_cast<uint64_t>(user) << 32);
        return k != keys + count && static_cast<uint32_t>(*k >> 32) == user ? static_cast<int>(*k & 0xFFFFFFFFu) : -1;
    }
};
}  // namespace

void plan_glides(const MixTable& before, uint64_t now_us, const GlideLengths& lengths, MixTable* next) {
    const RowIndex index(before);
    bool kept[kMaxMixRows] = {};
    const uint32_t listed = next->count;
    for (uint32_t i = 0; i < listed; ++i) {
        const int j = index.find(next->ids[i]);
        Glide gain, pan;
        if (j >= 0) {
            kept[j] = true;
            gain = toward(before.gain_glide[j], next->gain[i], now_us, lengths.gain_us);
            // From silence the pan is where it is going: nothing sweeps
            // across the stereo image while a voice fades in.
            const bool silent = before.gain_glide[j].at(now_us) == 0.0f;
            pan = silent ? Glide::still(next->pan[i]) : toward(before.pan_glide[j], next->pan[i], now_us, lengths.pan_us);
        } else {
            // Newly heard: in from silence, already from where they stand.
            gain = Glide{0.0f, next->gain[i], now_us, lengths.gain_us};
            pan = Glide::still(next->pan[i]);
        }
        next->gain_glide[i] = rested(gain, now_us);
        next->pan_glide[i] = rested(pan, now_us);
    }
    // No longer listed: out to silence from where they stand, unless they
    // are there already.
    for (uint32_t j = 0; j < before.count && next->count < kMaxMixRows; ++j) {
        if (kept[j] || index.find(before.ids[j]) != static_cast<int>(j)) continue;
        const Glide gain = rested(toward(before.gain_glide[j], 0.0f, now_us, lengths.gain_us), now_us);
        if (gain.length_us == 0) continue;  // silent now: no row is the same
        const uint32_t i = next->count++;
        next->ids[i] = before.ids[j];
        next->gain[i] = next->left[i] = next->right[i] = 0.0f;
        next->pan[i] = before.pan[j];
        next->gain_glide[i] = gain;
        next->pan_glide[i] = rested(before.pan_glide[j], now_us);
    }
}
