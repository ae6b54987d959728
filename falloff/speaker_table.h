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
// protocol's rules. Does not lock; does not log.
void build_speaker_table(const char* payload, UpdateKind kind, SpeakerTable* t);

// Replaces the shared SpeakerTable from one UPDATE or UPDATE2 payload: built
// in scratch (the caller's own storage), published whole, then logged.
void apply_update(const char* payload, UpdateKind kind, SpeakerTable* scratch);


