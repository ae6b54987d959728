// The mixer: what the writers know (the user directory and the speaker
// table), the mix table joined from the two and published to the audio
// path, and the audio path's memory of each speaker's last factors.
//
// Writers are the host's threads and the falloff worker. They take turns
// under the mixer's mutex, which is held only for a copy, the join and a
// publication; never across a host call, a network call, a file access or
// a sleep. The audio path never takes it: it reads the published mix
// table, and its ramp memory, without a lock.
#pragma once
#include <cstdint>
#include <mutex>

#include "audio/gain_pan.h"
#include "audio/mix_table.h"
#include "audio/ramp_memory.h"
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"

class Mixer {
public:
    // The writers' side. Each call replaces one table whole and publishes
    // the new join.
    void publish_directory(const UserHashDirectory& d);
    void publish_speakers(const SpeakerTable& t);
    void clear_speakers();
    // Both tables empty (everyone silent) and every remembered factor gone:
    // the connection has ended.
    void clear();

    // The audio side: scales one decoded block of user in place (see
    // apply_speaker_gain). Never waits, allocates or calls out.
    bool apply(bool enabled, float* pcm, uint32_t frames, uint16_t channels, bool speech, uint32_t user) {
        return apply_speaker_gain(mix_, ramps_, enabled, pcm, frames, channels, speech, user);
    }

private:
    void publish_join();  // with mutex_ held

    std::mutex mutex_;
    UserHashDirectory directory_{};
    SpeakerTable speakers_{};
    MixTable staging_;  // the join, before it is published
    MixPublisher mix_;
    RampMemory ramps_;  // writers only reclaim its entries, never wait on it
};
