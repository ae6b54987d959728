#include "plugin/tables.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "plugin/state.h"

namespace {
// With tables_mutex held: a new mix table from the directory and the
// speaker table as they stand. Users in directory order; a user whose hash
// the speaker table does not list gets no row, and stays silent.
void rebuild_mix() {
    const SpeakerTable& speakers = g_state.speakers;
    const UserHashDirectory& users = g_state.directory;
    MixTable* t = &g_state.mix_staging;
    t->count = 0;
    if (speakers.count > 0) {
        SpeakerIndex index;
        index.clear();
        for (uint32_t i = 0; i < speakers.count; ++i) index.add(speakers, i);
        for (size_t i = 0; i < users.count; ++i) {
            const char* hash = users.entries[i].hash;
            const int e = index.find(speakers, hash, hash_key(hash));
            if (e >= 0) mix_add_row(t, users.entries[i].user_id, speakers.entries[e].gain, speakers.entries[e].pan);
        }
    }
    g_state.mix.publish(*t);
}
}  // namespace

void publish_directory(const UserHashDirectory& d) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    UserHashDirectory& s = g_state.directory;
    std::memcpy(s.entries, d.entries, d.count * sizeof(UserHashEntry));
    s.count = d.count;
    rebuild_mix();
    // Users who left: their remembered factors go.
    uint32_t ids[kMaxUsers];
    for (size_t i = 0; i < s.count; ++i) ids[i] = s.entries[i].user_id;
    std::sort(ids, ids + s.count);
    g_state.ramps.reclaim_unless([&](uint32_t user) { return std::binary_search(ids, ids + s.count, user); });
}

void publish_speakers(const SpeakerTable& t) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    SpeakerTable& s = g_state.speakers;
    std::memcpy(s.entries, t.entries, t.count * sizeof(SpeakerEntry));
    std::memcpy(s.keys, t.keys, t.count * sizeof(uint64_t));
    s.count = t.count;
    rebuild_mix();
}

void clear_speakers() {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    g_state.speakers.count = 0;
    rebuild_mix();
}

void clear_connection_state() {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    g_state.connection_id.store(-1, std::memory_order_relaxed);
    g_state.client_id[0] = 0;
    g_state.directory.count = 0;
    g_state.speakers.count = 0;
    rebuild_mix();
    g_state.ramps.clear();
}

void set_client_id(const char* id) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    copy_text(g_state.client_id, kClientIdField, id);
}

void copy_client_id(char* out, size_t cap) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    copy_text(out, cap, g_state.client_id);
}
