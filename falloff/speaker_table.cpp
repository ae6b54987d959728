#include "falloff/speaker_table.h"

#include <cmath>
#include <cstring>

#include "common/decimal.h"

namespace {
// One number as scanf's %f reads it into a float, from *p and before end.
// False when no number starts at *p; *p then stays where it was.
bool scan_float(const char** p, const char* end, float* out) {
    double d;
    const char* stop = parse_float_prefix(*p, end, &d);
    if (!stop) return false;
    *out = static_cast<float>(d);
    *p = stop;
    return true;
}

constexpr char kSpaces[] = " \t\n\v\f\r";
constexpr char kHashEnds[] = " \t\n\v\f\r,";

// One item [p, end) as "%127s %f" or "%127s %f %f" read it: the fields read,
// the hash cut at 127 characters (the gain is then read from the 128th on).
// The item ends at a comma or at the payload's end, where the library's
// span functions stop by themselves. With kTells, *stop is where the
// reading stopped (only the observed parse wants it).
template <bool kTells>
inline int scan_item(const char* p, const char* end, UpdateKind kind, char* hash, float* gain, float* pan,
                     const char** stop) {
    p += std::strspn(p, kSpaces);
    size_t n = std::strcspn(p, kHashEnds);
    if (n > kHashField - 1) n = kHashField - 1;
    std::memcpy(hash, p, n);
    hash[n] = 0;
    p += n;
    if (kTells) *stop = p;
    if (n == 0) return 0;
    if (!scan_float(&p, end, gain)) return 1;
    if (kTells) *stop = p;
    if (kind == UpdateKind::update) return 2;
    if (!scan_float(&p, end, pan)) return 2;
    if (kTells) *stop = p;
    return 3;
}

// The plug-in's parse reports nothing: every call below is empty and the
// compiler drops it with the work that only fed it.
struct Silent {
    static constexpr bool kTells = false;
    void dropped(const char*, const char*, const char*, int) {}
    void clamped(const char*, const char*, float, float) {}
    void repeated(const char*, const char*, int) {}
    void table_full(const char*, const char*) {}
    void rest(const char*, const char*, const char*) {}
};

// The checker's parse: the events as the observer wants them.
struct Observed {
    static constexpr bool kTells = true;
    UpdateObserver* o;
    using Drop = UpdateObserver::Drop;
    void dropped(const char* item, const char* end, const char* stop, int fields) {
        Drop why = Drop::not_a_number;
        if (fields < 2)
            why = stop + std::strspn(stop, kSpaces) >= end ? Drop::no_gain : Drop::gain_not_a_number;
        o->dropped(item, static_cast<size_t>(end - item), why);
    }
    void clamped(const char* item, const char* end, float gain, float pan) {
        const size_t n = static_cast<size_t>(end - item);
        const float to_gain = clamp(gain, 0.0f, 1.0f), to_pan = clamp(pan, -1.0f, 1.0f);
        if (gain != to_gain) o->clamped(item, n, false, gain, to_gain);
        if (pan != to_pan) o->clamped(item, n, true, pan, to_pan);
    }
    void repeated(const char* item, const char* end, int entry) {
        o->repeated(item, static_cast<size_t>(end - item), static_cast<size_t>(entry));
    }
    void table_full(const char* item, const char* end) { o->table_full(item, static_cast<size_t>(end - item)); }
    void rest(const char* item, const char* end, const char* stop) {
        const char* r = stop + std::strspn(stop, kSpaces);
        if (r >= end) return;
        size_t n = static_cast<size_t>(end - r);
        while (n > 0 && std::strchr(kSpaces, r[n - 1])) --n;
        o->rest_ignored(item, static_cast<size_t>(end - item), r, n);
    }
};

template <class Report>
void enter_item(SpeakerTable* t, SpeakerIndex* index, const char* hash, float gain, float pan, Report& report,
                const char* item, const char* end) {
    const uint64_t key = hash_key(hash);
    const int found = index->find(*t, hash, key);
    if (found >= 0) {  // a hash that repeats takes the later values
        t->entries[found].gain = gain;
        t->entries[found].pan = pan;
        report.repeated(item, end, found);
        return;
    }
    if (t->count >= kMaxSpeakers) {
        report.table_full(item, end);
        return;
    }
    SpeakerEntry& e = t->entries[t->count];
    copy_text(e.hash, kHashField, hash);
    e.gain = gain;
    e.pan = pan;
    t->keys[t->count] = key;
    index->add(*t, static_cast<uint32_t>(t->count));
    ++t->count;
}
}  // namespace

namespace {
uint32_t home(uint64_t key) { return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 54); }
static_assert(SpeakerIndex::kPlaces == 1024, "home() gives 10 bits");
static_assert(kMaxSpeakers < SpeakerIndex::kEmpty);
}  // namespace

void SpeakerIndex::clear() { std::memset(place, 0xFF, sizeof place); }

void SpeakerIndex::add(const SpeakerTable& t, uint32_t entry) {
    uint32_t h = home(t.keys[entry]);
    while (place[h] != kEmpty) h = (h + 1) % kPlaces;
    place[h] = static_cast<uint16_t>(entry);
}

int SpeakerIndex::find(const SpeakerTable& t, const char* hash, uint64_t key) const {
    for (uint32_t h = home(key); place[h] != kEmpty; h = (h + 1) % kPlaces) {
        const uint16_t i = place[h];
        if (t.keys[i] == key && hash_equal(t.entries[i].hash, hash)) return i;
    }
    return -1;
}

namespace {
template <class Report>
void build(const char* payload, UpdateKind kind, SpeakerTable* t, Report report) {
    t->count = 0;
    SpeakerIndex index;
    index.clear();
    const char* p = payload + std::strspn(payload, kSpaces);
    while (*p) {
        // Items are cut at commas; empty ones are skipped.
        while (*p == ',') ++p;
        if (!*p) break;
        const char* start = p;
        p += std::strcspn(p, ",");
        char hash[kHashField];
        float gain = 0.0f, pan = 0.0f;
        const char* stop = start;
        const int fields = scan_item<Report::kTells>(start, p, kind, hash, &gain, &pan, &stop);
        if (fields < 2 || !hash[0]) {
            if (hash[0]) report.dropped(start, p, stop, fields);
            continue;
        }
        // A value that is not a number would pass both clamps and turn the
        // speaker's audio into NaN: such an item is dropped as malformed.
        if (std::isnan(gain) || std::isnan(pan)) {
            report.dropped(start, p, stop, fields);
            continue;
        }
        report.rest(start, p, stop);
        report.clamped(start, p, gain, pan);
        enter_item(t, &index, hash, clamp(gain, 0.0f, 1.0f), clamp(pan, -1.0f, 1.0f), report, start, p);
    }
}
}  // namespace

void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t) {
    build(payload, kind, t, Silent{});
}

void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t, UpdateObserver* observer) {
    build(payload, kind, t, Observed{observer});
}

