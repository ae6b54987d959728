// The SpeakerTable: what the falloff server said about each speaker.
#pragma once
#include <cstddef>
#include <cstdint>

#include "directory/hash_text.h"

constexpr size_t kMaxSpeakers = 512;

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
