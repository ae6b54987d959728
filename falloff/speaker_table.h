// The SpeakerTable: what the falloff server said about each speaker.
#pragma once
#include <cstddef>
#include <cstdint>

#include "directory/hash_text.h"

constexpr size_t kMaxSpeakers = kMaxSpeakersPerUpdate;

struct SpeakerEntry {
    char hash[kHashField];
    float gain;  // [0, 1]
    float pan;   // [-1, 1]
};

struct SpeakerTable {
    SpeakerEntry entries[kMaxSpeakers];
    uint64_t keys[kMaxSpeakers];  // hash_key of each entry, for fast scans
    uint64_t count;
};

enum class UpdateKind { update, update2 };

// Parses one update payload into t (the builder's own storage) by the
// protocol's rules: items cut at commas, "hash gain" or "hash gain pan",
// values clamped, a hash that repeats (in any letter case) taking the later
// values, at most 512 hashes; malformed items and values that are not
// numbers dropped.
void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t);

// What the parse does with an update beyond entering its items, told item
// by item to a reader that wants to know (the operators' checker). Each call
// names the item's text as cut at commas, [item, item + n).
class UpdateObserver {
public:
    enum class Drop {
        no_gain,            // a hash and nothing more
        gain_not_a_number,  // what follows the hash does not start with a number
        not_a_number,       // the gain or the pan reads as nan
    };
    virtual void dropped(const char* item, size_t n, Drop why) = 0;
    // A gain (pan false) or a pan outside its range, and what it became.
    virtual void clamped(const char* item, size_t n, bool pan, float from, float to) = 0;
    // The item's hash is that of entry `entry` already, which takes its values.
    virtual void repeated(const char* item, size_t n, size_t entry) = 0;
    // A new hash while the table holds 512: dropped.
    virtual void table_full(const char* item, size_t n) = 0;
    // Text after the values that the item's kind reads: ignored.
    virtual void rest_ignored(const char* item, size_t n, const char* rest, size_t rest_n) = 0;

protected:
    ~UpdateObserver() = default;
};

// The same parse, telling observer what it dropped, clamped, merged or
// ignored. The plug-in's own parse above is compiled without any of it.
void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t, UpdateObserver* observer);

// The entries of a table by the 8-byte key of their hash: open addressing
// over twice the table's capacity, so a look-up costs a probe or two
// instead of a scan.
struct SpeakerIndex {
    static constexpr uint32_t kPlaces = 2 * kMaxSpeakers;
    static constexpr uint16_t kEmpty = 0xFFFF;
    uint16_t place[kPlaces];

    void clear();
    void add(const SpeakerTable& t, uint32_t entry);
    // The entry whose hash equals hash without regard to letter case, or -1.
    int find(const SpeakerTable& t, const char* hash, uint64_t key) const;
};
