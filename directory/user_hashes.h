// The UserHashDirectory: host user id -> certificate hash, for the current
// server connection.
#pragma once
#include <cstddef>
#include <cstdint>

#include "directory/hash_text.h"

constexpr size_t kMaxUsers = 512;

struct UserHashEntry {
    uint32_t user_id;
    char hash[kHashField];
};

struct UserHashDirectory {
    UserHashEntry entries[kMaxUsers];
    // entries[i].user_id again, packed: the audio thread scans these 2 KB
    // instead of striding through the 66 KB of records.
    uint32_t ids[kMaxUsers];
    size_t count;
};

// Lets a caller on the worker give up between host calls and keep an
// abandoned worker away from shared state. All members may be null.
struct RefreshGuard {
    bool (*stop_requested)();   // true: give up without publishing
    bool (*enter)();            // false: do not publish or log
    void (*leave)();
};

// Rebuilds the directory from the host. Safe to call at any time.
void refresh_user_hashes(const RefreshGuard* guard = nullptr);

// With the PluginState lock held: copies the hash of user_id into out
// (kHashField bytes). False when the directory does not list the user.
bool lookup_user_hash(const UserHashDirectory& d, uint32_t user_id, char* out);
