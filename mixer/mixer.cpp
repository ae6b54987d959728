#include "mixer/mixer.h"

#include <algorithm>
#include <cstring>

#include "mixer/join.h"

void Mixer::publish_join() {
    join_mix(directory_, speakers_, &staging_);
    mix_.publish(staging_);
}

void Mixer::publish_directory(const UserHashDirectory& d) {
    std::lock_guard<std::mutex> held(mutex_);
    std::memcpy(directory_.entries, d.entries, d.count * sizeof(UserHashEntry));
    directory_.count = d.count;
    publish_join();
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
    publish_join();
}

void Mixer::clear_speakers() {
    std::lock_guard<std::mutex> held(mutex_);
    speakers_.count = 0;
    publish_join();
}

void Mixer::clear() {
    std::lock_guard<std::mutex> held(mutex_);
    directory_.count = 0;
    speakers_.count = 0;
    publish_join();
    ramps_.clear();
}
