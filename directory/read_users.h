// Filling a UserHashDirectory from the host's API table.
#pragma once
#include <cstdint>

#include "common/stop_check.h"
#include "directory/user_hashes.h"
#include "host/host_api.h"

// Reads every user of the connection and their certificate hash from the
// host into out (the caller's storage), in the host's order, users with no
// or an empty hash left out, at most kMaxUsers. Every pointer the host hands
// out goes back through freeMemory. False when the host table lacks a call
// it needs, the connection id is negative, the user list cannot be had, or
// stop was requested: out is then not to be published. *gone (when given)
// is set when the host answered that the connection does not exist.
bool read_user_hashes(const HostApi& host, uint32_t plugin_id, int32_t connection, const StopCheck* stop,
                      UserHashDirectory* out, bool* gone = nullptr);
