// The UserHashDirectory: host user id -> certificate hash, for the current
// server connection.
#pragma once
#include <cstddef>
#include <cstdint>

#include "directory/hash_text.h"
#include "common/stop_check.h"
#include "host/host_api.h"

constexpr size_t kMaxUsers = 512;

struct UserHashEntry {
    uint32_t user_id;
    char hash[kHashField];
};

struct UserHashDirectory {
    UserHashEntry entries[kMaxUsers];
    size_t count;
};

// Reads every user of the connection and their certificate hash from the
// host into out (the caller's storage), in the host's order, users with no
// or an empty hash left out, at most kMaxUsers. Every pointer the host hands
// out goes back through freeMemory. False when the host table lacks a call
// it needs, the connection id is negative, the user list cannot be had, or
// stop was requested: out is then not to be published.
bool read_user_hashes(const HostApi& host, uint32_t plugin_id, int32_t connection, const StopCheck* stop,
                      UserHashDirectory* out);
