// The audio path: each speaker's decoded block scaled by gain and a
// constant-power pan, from the published mix table, where the speaker's
// glides stand at the moment; a change of level ramps across one block
// from the speaker's remembered factors.
#pragma once
#include <cstddef>
#include <cstdint>

#include "audio/mix_table.h"
#include "audio/ramp_memory.h"

// Runs on the host's real-time audio thread. It allocates nothing, makes
// no system call, takes no lock, logs nothing and calls nothing in the
// host: it reads the current mix table and scales the block in place.
// The block ends on the speaker's factors as they stand now (where their
// glides have reached, while they move). When these differ from those the
// speaker's last block ended on, each channel's factor ramps linearly
// across this block to the new one.
// Returns false when the block is not for us (the buffer is then untouched).
bool apply_speaker_gain(const MixPublisher& mix, RampMemory& ramps, bool enabled, float* pcm, uint32_t frames,
                        uint16_t channels, bool speech, uint32_t user);

// Multiplies even samples by f[0] and odd ones by f[1] (the stereo case;
// mono with f[0] == f[1]). The benchmarks' bare loop is this, too.
void scale_interleaved(float* pcm, size_t count, const float f[2]);
