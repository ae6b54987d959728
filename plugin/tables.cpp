#include "plugin/tables.h"

#include <cstring>

#include "common/text.h"
#include "plugin/state.h"

namespace {
// Speakers by the 8-byte key of their hash: open addressing over twice
// their number of places, so a join costs one probe or two per user.
struct SpeakerIndex {
    static constexpr uint32_t kPlaces = 2 * kMaxSpeakers;
    static constexpr uint16_t kEmpty = 0xFFFF;
    uint16_t place[kPlaces];

    static uint32_t home(uint64_t key) { return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 54); }

    explicit SpeakerIndex(const SpeakerTable& t) {
        std::memset(place, 0xFF, sizeof place);
        for (uint32_t i = 0; i < t.count; ++i) {
            uint32_t h = home(t.keys[i]);
            while (place[h] != kEmpty) h = (h + 1) % kPlaces;
            place[h] = static_cast<uint16_t>(i);
        }
    }
    const SpeakerEntry* find(const SpeakerTable& t, const char* hash) const {
        const uint64_t key = hash_key(hash);
        for (uint32_t h = home(key); place[h] != kEmpty; h = (h + 1) % kPlaces) {
            const uint16_t i = place[h];
            if (t.keys[i] == key && hash_equal(t.entries[i].hash, hash)) return &t.entries[i];
        }
        return nullptr;
    }
};
static_assert(kMaxSpeakers < SpeakerIndex::kEmpty);

// With tables_mutex held: a new mix table from the directory and the
// speaker table as they stand. Users in directory order; a user whose hash
// the speaker table does not list gets no row, and stays silent.
void rebuild_mix() {
    const SpeakerTable& speakers = g_state.speakers;
    const UserHashDirectory& users = g_state.directory;
    MixTable* t = g_state.mix.begin_write();
    if (speakers.count > 0) {
        const SpeakerIndex index(speakers);
        for (size_t i = 0; i < users.count; ++i) {
            if (const SpeakerEntry* e = index.find(speakers, users.entries[i].hash))
                mix_add_row(t, users.entries[i].user_id, e->gain, e->pan);
        }
    }
    g_state.mix.publish(t);
}
}  // namespace

void publish_directory(const UserHashDirectory& d) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    UserHashDirectory& s = g_state.directory;
    std::memcpy(s.entries, d.entries, d.count * sizeof(UserHashEntry));
    std::memcpy(s.ids, d.ids, d.count * sizeof(uint32_t));
    s.count = d.count;
    rebuild_mix();
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
}

void set_client_id(const char* id) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    copy_text(g_state.client_id, kClientIdField, id);
}

void copy_client_id(char* out, size_t cap) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    copy_text(out, cap, g_state.client_id);
}
