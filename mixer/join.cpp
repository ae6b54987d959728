#include "mixer/join.h"

void join_mix(const UserHashDirectory& users, const SpeakerTable& speakers, MixTable* out) {
    out->count = 0;
    if (speakers.count == 0) return;
    SpeakerIndex index;
    index.clear();
    for (uint32_t i = 0; i < speakers.count; ++i) index.add(speakers, i);
    for (size_t i = 0; i < users.count; ++i) {
        const char* hash = users.entries[i].hash;
        const int e = index.find(speakers, hash, hash_key(hash));
        if (e >= 0) mix_add_row(out, users.entries[i].user_id, speakers.entries[e].gain, speakers.entries[e].pan);
    }
}
