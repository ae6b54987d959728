// The audio path: each speaker's decoded block scaled by gain and a
// constant-power pan, from the published mix table.
#pragma once
#include <cstdint>

#include "audio/mix_table.h"

// Runs on the host's real-time audio thread. It allocates nothing, makes
// no system call, takes no lock, logs nothing and calls nothing in the
// host: it reads the current mix table and scales the block in place.
// Returns false when the block is not for us (the buffer is then untouched).
bool apply_speaker_gain(const MixPublisher& mix, bool enabled, float* pcm, uint32_t frames, uint16_t channels,
                        bool speech, uint32_t user);
