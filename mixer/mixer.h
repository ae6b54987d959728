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
#include "mixer/update_interval.h"

class Mixer {
public:
    // The writers' side. Each call replaces one table whole and publishes
    // the new join, in which a changed level glides from where it stands
    // (see mixer/glide_plan.h).
    //
    // How long a glide takes, as a share (0..1) of the typical time between
    // update lines: the gain's and the pan's. 0 and 0: every change at
    // once (the audio path then ramps it across one block).
    void set_smoothing(float gain, float pan);
    void publish_directory(const UserHashDirectory& d);
    // An update line's speakers; its arrival counts towards the typical
    // interval.
    void publish_speakers(const SpeakerTable& t);
    // The falloff connection has ended: everyone fades out, and the next
    // connection's interval is measured afresh.
    void clear_speakers();
    // Both tables empty (everyone silent at once, no fading) and every
    // remembered factor gone: the voice server's connection has ended, and
    // with it what its user ids meant.
    void clear();

    // The audio side: scales one decoded block of user in place (see
    // apply_speaker_gain). Never waits, allocates or calls out.
    bool apply(bool enabled, float* pcm, uint32_t frames, uint16_t channels, bool speech, uint32_t user) {
        return apply_speaker_gain(mix_, ramps_, enabled, pcm, frames, channels, speech, user);
    }

private:
    void publish_join(uint64_t now_us);  // with mutex_ held

    std::mutex mutex_;
    UserHashDirectory directory_{};
    SpeakerTable speakers_{};
    float gain_smoothing_ = 0.0f, pan_smoothing_ = 0.0f;
    UpdateInterval interval_;
    MixTable tables_[2];     // the one published last, and the next one
    uint32_t published_ = 0;  // which of the two
    MixPublisher mix_;
    RampMemory ramps_;  // writers only reclaim its entries, never wait on it
};
