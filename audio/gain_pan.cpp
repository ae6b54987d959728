#include "audio/gain_pan.h"

#include <bit>
#include <cstddef>

#include "common/clock.h"

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
// Bit for bit: the factors come from the same rows, so equal ones are
// identical, and the compare is three integer tests.
bool same(const MixFactors& a, const MixFactors& b) {
    return std::bit_cast<uint32_t>(a.gain) == std::bit_cast<uint32_t>(b.gain) &&
           std::bit_cast<uint32_t>(a.left) == std::bit_cast<uint32_t>(b.left) &&
           std::bit_cast<uint32_t>(a.right) == std::bit_cast<uint32_t>(b.right);
}

// The same factors throughout the block.
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
// lanes, each a linear ramp, in the runs of scale_interleaved. The factors
// advance by one addition per run; the rounding this gathers over a block
// stays near 1e-6 of the level.
void ramp_interleaved(float* pcm, size_t count, const float start[8], const float step[8]) {
    float f[8], by[8];
    for (size_t k = 0; k < 8; ++k) f[k] = start[k], by[k] = step[k];
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (size_t k = 0; k < 8; ++k) pcm[i + k] *= f[k];
        for (size_t k = 0; k < 8; ++k) f[k] += by[k];
    }
    for (size_t k = 0; i < count; ++i, ++k) pcm[i] *= f[k];
}

// Each channel's factor goes linearly from a to b, frame f taking the step
// (f + 1) / n of the way; the last frame takes b itself.
void ramp_block(float* pcm, size_t n, uint16_t channels, const MixFactors& a, const MixFactors& b) {
    const float inv = 1.0f / static_cast<float>(n);
    const float dg = (b.gain - a.gain) * inv, dl = (b.left - a.left) * inv, dr = (b.right - a.right) * inv;
    const size_t ramped = n - 1;
    if (channels <= 2) {
        // Lane k of a run holds frame k (mono) or k / 2 (stereo) of the run.
        const bool mono = channels == 1;
        const float a0 = mono ? a.gain : a.left, a1 = mono ? a.gain : a.right;
        const float d0 = mono ? dg : dl, d1 = mono ? dg : dr;
        const float per_run = mono ? 8.0f : 4.0f;
        float start[8], step[8];
        for (size_t k = 0; k < 8; ++k) {
            const float frame = static_cast<float>(k / channels + 1);
            start[k] = k % 2 ? a1 + d1 * frame : a0 + d0 * frame;
            step[k] = (k % 2 ? d1 : d0) * per_run;
        }
        ramp_interleaved(pcm, ramped * channels, start, step);
        float* last = pcm + ramped * channels;
        if (mono) {
            last[0] *= b.gain;
        } else {
            last[0] *= b.left;
            last[1] *= b.right;
        }
        return;
    }
    for (size_t f = 0; f < ramped; ++f) {
        const float t = static_cast<float>(f + 1);
        float* frame = pcm + f * channels;
        frame[0] *= a.left + dl * t;
        frame[1] *= a.right + dr * t;
        const float g = a.gain + dg * t;
        for (size_t k = 2; k < channels; ++k) frame[k] *= g;
    }
    scale_block(pcm + ramped * channels, 1, channels, b);
}

// Out of line, so that a block at rest carries none of this.
[[gnu::noinline]] MixFactors where_glides_stand(const MixGlides& glides, const MixFactors& end) {
    return glides.at(end, glide_now_us());
}

// A block whose factors are not those the speaker's last block ended on.
// Without an entry to hold (another thread has this speaker, or no place
// is left) the block is scaled as it comes.
[[gnu::noinline]] void change_block(RampMemory& ramps, const RampMemory::Seen& seen, float* pcm, uint32_t frames,
                                    uint16_t channels, uint32_t user, const MixFactors& v, bool audible) {
    const RampMemory::Claim c = ramps.claim(user, seen, audible);
    if (c.held && !same(c.last, v))
        ramp_block(pcm, frames, channels, c.last, v);
    else
        scale_block(pcm, frames, channels, v);
    ramps.release(c, v);
}
}  // namespace

bool apply_speaker_gain(const MixPublisher& mix, RampMemory& ramps, bool enabled, float* pcm, uint32_t frames,
                        uint16_t channels, bool speech, uint32_t user) {
    if (!pcm || !speech || channels == 0 || !enabled) return false;
    // An unknown speaker is silent. While the speaker's level glides, the
    // block ends where the glide stands now, on the clock the writers start
    // glides by (no system call); at rest the clock is not read.
    MixGlides glides;
    const MixFactors end = mix.factors(user, &glides);
    const MixFactors v = glides.on ? where_glides_stand(glides, end) : end;
    if (frames == 0) return true;
    const RampMemory::Seen seen = ramps.recall(user);
    const bool audible = v.gain != 0.0f || v.left != 0.0f || v.right != 0.0f;
    // Steady: the level the speaker's last block ended on, or silence kept.
    if (seen.kind == RampMemory::Seen::idle ? same(seen.last, v) : !audible && seen.kind == RampMemory::Seen::none)
        scale_block(pcm, frames, channels, v);
    else
        change_block(ramps, seen, pcm, frames, channels, user, v, audible);
    return true;
}
