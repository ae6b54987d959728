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

// Each channel's factor goes linearly from a to b, frame f taking the step
// (f + 1) / n of the way; the last frame takes b itself.
void ramp_block(float* pcm, size_t n, uint16_t channels, const MixFactors& a, const MixFactors& b) {
    const float step = 1.0f / static_cast<float>(n);
    const float dg = b.gain - a.gain, dl = b.left - a.left, dr = b.right - a.right;
    const size_t ramped = n - 1;
    if (channels == 1) {
        for (size_t f = 0; f < ramped; ++f) pcm[f] *= a.gain + dg * (static_cast<float>(f + 1) * step);
    } else if (channels == 2) {
        for (size_t f = 0; f < ramped; ++f) {
            const float t = static_cast<float>(f + 1) * step;
            pcm[2 * f] *= a.left + dl * t;
            pcm[2 * f + 1] *= a.right + dr * t;
        }
    } else {
        for (size_t f = 0; f < ramped; ++f) {
            const float t = static_cast<float>(f + 1) * step;
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
    const bool audible = v.gain != 0.0f || v.left != 0.0f || v.right != 0.0f;
    const RampMemory::Claim c = ramps.claim(user, audible);
    // A new entry starts silent. Without one (a silent speaker, another
    // thread on the same speaker, or no place left) the block is scaled as is.
    const MixFactors last = c.held ? c.last : v;
    if (same(last, v))
        scale_block(pcm, frames, channels, v);
    else
        ramp_block(pcm, frames, channels, last, v);
    ramps.release(c, v);
    return true;
}
