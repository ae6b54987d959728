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
    uint32_t ids[kMaxUsers];  // entries[i].user_id again, packed
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

