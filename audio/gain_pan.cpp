#include "audio/gain_pan.h"

#include <cstddef>

// The body works in runs of eight with a fixed pattern, a shape compilers
// turn into vector code without being asked; the tail goes one sample at a
// time.
void scale_interleaved(float* pcm, size_t count, const float f[2]) {
    const float run[8] = {f[0], f[1], f[0], f[1], f[0], f[1], f[0], f[1]};
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (size_t k = 0; k < 8; ++k) pcm[i + k] *= run[k];
    for (; i < count; ++i) pcm[i] *= f[i & 1];
}

namespace {
bool same(const MixFactors& a, const MixFactors& b) {
    return a.gain == b.gain && a.left == b.left && a.right == b.right;
}

// Today's scaling: the same factors throughout the block.
void scale_block(float* pcm, size_t n, uint16_t channels, const MixFactors& v) {
    if (channels == 1) {
        const float f[2] = {v.gain, v.gain};
        scale_interleaved(pcm, n, f);
    } else if (channels == 2) {
        const float f[2] = {v.left, v.right};
        scale_interleaved(pcm, 2 * n, f);
    } else {
        for (size_t f = 0; f < n; ++f) {
            float* frame = pcm + f * channels;
            frame[0] *= v.left;
            frame[1] *= v.right;
            for (size_t k = 2; k < channels; ++k) frame[k] *= v.gain;
        }
    }
}

// Multiplies sample i by start[i % 8] + step[i % 8] * (i / 8): eight
// lanes, each a linear ramp, in the runs of scale_interleaved.
void ramp_interleaved(float* pcm, size_t count, const float start[8], const float step[8]) {
    float from[8], by[8];
    for (size_t k = 0; k < 8; ++k) from[k] = start[k], by[k] = step[k];
    size_t i = 0;
    float r = 0.0f;
    for (; i + 8 <= count; i += 8, r += 1.0f)
        for (size_t k = 0; k < 8; ++k) pcm[i + k] *= from[k] + by[k] * r;
    for (size_t k = 0; i < count; ++i, ++k) pcm[i] *= from[k] + by[k] * r;
}

// Each channel's factor goes linearly from a to b, frame f taking the step
// (f + 1) / n of the way; the last frame takes b itself.
void ramp_block(float* pcm, size_t n, uint16_t channels, const MixFactors& a, const MixFactors& b) {
    const float inv = 1.0f / static_cast<float>(n);
    const float dg = (b.gain - a.gain) * inv, dl = (b.left - a.left) * inv, dr = (b.right - a.right) * inv;
    const size_t ramped = n - 1;
    if (channels <= 2) {
        // Lane k of a run holds frame k (mono) or k / 2 (stereo) of the run.
        const size_t per_run = 8 / channels;
        float start[8], step[8];
        for (size_t k = 0; k < 8; ++k) {
            const float a_k = channels == 1 ? a.gain : k % 2 ? a.right : a.left;
            const float d_k = channels == 1 ? dg : k % 2 ? dr : dl;
            start[k] = a_k + d_k * static_cast<float>(k / channels + 1);
            step[k] = d_k * static_cast<float>(per_run);
        }
        ramp_interleaved(pcm, ramped * channels, start, step);
    } else {
        for (size_t f = 0; f < ramped; ++f) {
            const float t = static_cast<float>(f + 1);
            float* frame = pcm + f * channels;
            frame[0] *= a.left + dl * t;
            frame[1] *= a.right + dr * t;
            const float g = a.gain + dg * t;
            for (size_t k = 2; k < channels; ++k) frame[k] *= g;
        }
    }
    scale_block(pcm + ramped * channels, 1, channels, b);
}
}  // namespace

bool apply_speaker_gain(const MixPublisher& mix, RampMemory& ramps, bool enabled, float* pcm, uint32_t frames,
                        uint16_t channels, bool speech, uint32_t user) {
    if (!pcm || !speech || channels == 0 || !enabled) return false;
    const MixFactors v = mix.factors(user);  // an unknown speaker is silent
    if (frames == 0) return true;
    const RampMemory::Seen seen = ramps.recall(user);
    const bool audible = v.gain != 0.0f || v.left != 0.0f || v.right != 0.0f;
    // Steady: the level the speaker's last block ended on, or silence kept.
    if (seen.kind == RampMemory::Seen::idle ? same(seen.last, v) : !audible && seen.kind == RampMemory::Seen::none) {
        scale_block(pcm, frames, channels, v);
        return true;
    }
    // A change. Without an entry to hold (another thread has this speaker,
    // or no place is left) the block is scaled as it comes.
    const RampMemory::Claim c = ramps.claim(user, seen, audible);
    if (c.held && !same(c.last, v))
        ramp_block(pcm, frames, channels, c.last, v);
    else
        scale_block(pcm, frames, channels, v);
    ramps.release(c, v);
    return true;
}
