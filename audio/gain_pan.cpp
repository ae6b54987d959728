#include "audio/gain_pan.h"

#include <cmath>

#include "directory/hash_text.h"
#include "plugin/state.h"

namespace {
struct Levels {
    float gain;
    float pan;
};

// Both look-ups in one lock span; an unknown speaker is silent.
Levels look_up(uint32_t user) {
    Levels v{0.0f, 0.0f};
    char hash[kHashField];
    StateLock held;
    if (!lookup_user_hash(g_state.directory, user, hash)) return v;
    if (const SpeakerEntry* e = find_speaker(g_state.speakers, hash)) v = Levels{e->gain, e->pan};
    return v;
}

// Multiplies even samples by f[0] and odd ones by f[1]. The body works in
// runs of eight with a fixed pattern, a shape compilers turn into vector
// code without being asked; the tail goes one sample at a time.
void scale_interleaved(float* pcm, size_t count, const float f[2]) {
    const float run[8] = {f[0], f[1], f[0], f[1], f[0], f[1], f[0], f[1]};
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (size_t k = 0; k < 8; ++k) pcm[i + k] *= run[k];
    for (; i < count; ++i) pcm[i] *= f[i & 1];
}
}  // namespace

void pan_factors(float pan, float* left, float* right) {
    *left = std::sqrt((1.0f - pan) * 0.5f);
    *right = std::sqrt((1.0f + pan) * 0.5f);
}

bool apply_speaker_gain(float* pcm, uint32_t frames, uint16_t channels, bool speech, uint32_t user) {
    if (!pcm || !speech || channels == 0 || !g_state.settings.enabled) return false;
    Levels v = look_up(user);
    // A value that is not a number would turn the block into NaN samples
    // and poison the host's mix: such a block is silenced instead.
    if (!std::isfinite(v.gain) || !std::isfinite(v.pan)) v = Levels{0.0f, 0.0f};
    const float g = clamp(v.gain, 0.0f, 1.0f);
    const size_t n = frames;
    if (channels == 1) {
        const float f[2] = {g, g};
        scale_interleaved(pcm, n, f);
        return true;
    }
    float l, r;
    pan_factors(clamp(v.pan, -1.0f, 1.0f), &l, &r);
    const float gl = g * l;
    const float gr = g * r;
    if (channels == 2) {
        const float f[2] = {gl, gr};
        scale_interleaved(pcm, 2 * n, f);
        return true;
    }
    for (size_t f = 0; f < n; ++f) {
        float* frame = pcm + f * channels;
        frame[0] *= gl;
        frame[1] *= gr;
        for (size_t k = 2; k < channels; ++k) frame[k] *= g;
    }
    return true;
}
