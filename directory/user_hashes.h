// The UserHashDirectory: host user id -> certificate hash, for the current
// server connection. The type alone; directory/read_users.h fills it from
// the host.
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
    size_t count;
};
