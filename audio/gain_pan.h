// The audio path: each speaker's decoded block scaled by gain and a
// constant-power pan.
#pragma once
#include <cstdint>

// Runs on the host's real-time audio thread. It allocates nothing, makes
// no system call, logs nothing and calls nothing in the host; it holds the
// lock only for the two table scans. Returns false when the block is not
// for us (the buffer is then untouched).
bool apply_speaker_gain(float* pcm, uint32_t frames, uint16_t channels, bool speech, uint32_t user);

// L and R of the constant-power law for a pan in [-1, 1].
void pan_factors(float pan, float* left, float* right);
