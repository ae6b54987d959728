#include "falloff/speaker_table.h"

#include <cmath>
#include <cstring>

#include "config/decimal.h"
#include "log/log.h"
#include "plugin/tables.h"

namespace {
// One number as scanf's %f reads it into a float. False when no number
// starts at *p; *p then stays where the scan stopped.
bool scan_float(const char** p, float* out) {
    double d;
    const char* end = parse_float_prefix(*p, &d);
    if (!end) return false;
    *out = static_cast<float>(d);
    *p = end;
    return true;
}

// "%127s %f" or "%127s %f %f": the fields read, hash cut at 127 characters.
int scan_item(const char* item, UpdateKind kind, char* hash, float* gain, float* pan) {
    const char* p = item;
    while (is_space(*p)) ++p;
    size_t n = 0;
    while (*p && !is_space(*p) && n < kHashField - 1) hash[n++] = *p++;
    hash[n] = 0;
    if (n == 0) return 0;
    if (!scan_float(&p, gain)) return 1;
    if (kind == UpdateKind::update) return 2;
    if (!scan_float(&p, pan)) return 2;
    return 3;
}

void enter_item(SpeakerTable* t, const char* hash, float gain, float pan) {
    const uint64_t key = hash_key(hash);
    for (uint64_t i = 0; i < t->count; ++i) {
        if (t->keys[i] == key && hash_equal(t->entries[i].hash, hash)) {
            t->entries[i].gain = gain;
            t->entries[i].pan = pan;
            return;
        }
    }
    if (t->count >= kMaxSpeakers) return;
    SpeakerEntry& e = t->entries[t->count];
    copy_text(e.hash, kHashField, hash);
    e.gain = gain;
    e.pan = pan;
    t->keys[t->count] = key;
    ++t->count;
}
}  // namespace

void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t) {
    t->count = 0;
    while (is_space(*payload)) ++payload;
    const char* p = payload;
    while (*p) {
        // Items are cut at commas; empty ones are skipped.
        while (*p == ',') ++p;
        if (!*p) break;
        const char* start = p;
        while (*p && *p != ',') ++p;
        char item[8192];
        size_t len = static_cast<size_t>(p - start);
        if (len >= sizeof item) len = sizeof item - 1;
        std::memcpy(item, start, len);
        item[len] = 0;

        char hash[kHashField] = {};
        float gain = 0.0f, pan = 0.0f;
        int fields = scan_item(item, kind, hash, &gain, &pan);
        if (fields < 2 || !hash[0]) continue;
        // A value that is not a number would pass both clamps and turn the
        // speaker's audio into NaN: such an item is dropped as malformed.
        if (std::isnan(gain) || std::isnan(pan)) continue;
        enter_item(t, hash, clamp(gain, 0.0f, 1.0f), clamp(pan, -1.0f, 1.0f));
    }
}

void apply_update(const char* payload, UpdateKind kind, SpeakerTable* scratch) {
    build_speaker_table(payload, kind, scratch);
    publish_speakers(*scratch);
    file_log("received %s with %zu speakers", kind == UpdateKind::update2 ? "UPDATE2" : "UPDATE",
             static_cast<size_t>(scratch->count));
}
