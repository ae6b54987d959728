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

float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
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
    if (channels == 1) {
        for (uint32_t i = 0; i < frames; ++i) pcm[i] *= g;
        return true;
    }
    float l, r;
    pan_factors(clamp(v.pan, -1.0f, 1.0f), &l, &r);
    const float gl = g * l;
    const float gr = g * r;
    if (channels == 2) {
        for (uint32_t f = 0; f < frames; ++f) {
            pcm[2 * f] *= gl;
            pcm[2 * f + 1] *= gr;
        }
        return true;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        float* frame = pcm + static_cast<size_t>(f) * channels;
        frame[0] *= gl;
        frame[1] *= gr;
        for (uint16_t k = 2; k < channels; ++k) frame[k] *= g;
    }
    return true;
}
