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

bool apply_speaker_gain(const MixPublisher& mix, bool enabled, float* pcm, uint32_t frames, uint16_t channels,
                        bool speech, uint32_t user) {
    if (!pcm || !speech || channels == 0 || !enabled) return false;
    const MixFactors v = mix.factors(user);  // an unknown speaker is silent
    const size_t n = frames;
    if (channels == 1) {
        const float f[2] = {v.gain, v.gain};
        scale_interleaved(pcm, n, f);
        return true;
    }
    if (channels == 2) {
        const float f[2] = {v.left, v.right};
        scale_interleaved(pcm, 2 * n, f);
        return true;
    }
    for (size_t f = 0; f < n; ++f) {
        float* frame = pcm + f * channels;
        frame[0] *= v.left;
        frame[1] *= v.right;
        for (size_t k = 2; k < channels; ++k) frame[k] *= v.gain;
    }
    return true;
}
