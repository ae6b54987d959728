#include "mixer/mixer.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "mixer/glide_plan.h"
#include "mixer/join.h"

void Mixer::set_smoothing(float gain, float pan) {
    std::lock_guard<std::mutex> held(mutex_);
    gain_smoothing_ = gain > 0.0f ? std::min(gain, 1.0f) : 0.0f;  // not a number: 0
    pan_smoothing_ = pan > 0.0f ? std::min(pan, 1.0f) : 0.0f;
}

void Mixer::publish_join(uint64_t now_us) {
    const MixTable& before = tables_[published_];
    MixTable& next = tables_[published_ ^ 1];
    join_mix(directory_, speakers_, &next);
    const float typical = static_cast<float>(interval_.typical_us());
    plan_glides(before, now_us,
                GlideLengths{static_cast<uint32_t>(gain_smoothing_ * typical), static_cast<uint32_t>(pan_smoothing_ * typical)},
                &next);
    mix_.publish(next);
    published_ ^= 1;
}

void Mixer::publish_directory(const UserHashDirectory& d) {
    std::lock_guard<std::mutex> held(mutex_);
    std::memcpy(directory_.entries, d.entries, d.count * sizeof(UserHashEntry));
    directory_.count = d.count;
    publish_join(glide_now_us());
    // Users who left: their remembered factors go.
    uint32_t ids[kMaxUsers];
    const size_t n = directory_.count;
    for (size_t i = 0; i < n; ++i) ids[i] = directory_.entries[i].user_id;
    std::sort(ids, ids + n);
    ramps_.reclaim_unless([&](uint32_t user) { return std::binary_search(ids, ids + n, user); });
}

void Mixer::publish_speakers(const SpeakerTable& t) {
    std::lock_guard<std::mutex> held(mutex_);
    std::memcpy(speakers_.entries, t.entries, t.count * sizeof(SpeakerEntry));
    std::memcpy(speakers_.keys, t.keys, t.count * sizeof(uint64_t));
    speakers_.count = t.count;
    const uint64_t now = glide_now_us();
    interval_.arrival(now);
    publish_join(now);
}

void Mixer::clear_speakers() {
    std::lock_guard<std::mutex> held(mutex_);
    speakers_.count = 0;
    publish_join(glide_now_us());  // fading over the glides of the connection that ended
    interval_.reset();
}

void Mixer::clear() {
    std::lock_guard<std::mutex> held(mutex_);
    directory_.count = 0;
    speakers_.count = 0;
    tables_[0].count = tables_[1].count = 0;
    mix_.publish(tables_[published_]);
    ramps_.clear();
    interval_.reset();
}
