// Voices for the scripted users and the listener's recording: WAV files in
// and out through libsndfile, and a synthetic voice for machines without a
// speech synthesiser.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kHostRate = 48000;

// Reads a WAV file in any encoding libsndfile reads, mixes its channels to
// mono and resamples it to 48 kHz. Leading and trailing silence is cut
// and the level set to an RMS of about -20 dBFS, so voices from different
// sources mix at similar loudness. False when the file is not such a WAV.
bool load_voice(const std::string& path, std::vector<float>* mono48k, std::string* error);

// A voice-like buzz of about 3 s at 48 kHz: syllables of a harmonic tone
// whose formants move, on a pitch of its own per index, so that several
// voices mixed together stay apart in spectrum and in time.
std::vector<float> synthetic_voice(int index);

// Writes interleaved stereo float samples as a 16-bit PCM WAV file,
// clipping at full scale as the host's mixer does.
bool write_stereo_wav(const std::string& path, const std::vector<float>& interleaved, uint32_t rate);
