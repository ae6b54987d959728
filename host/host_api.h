// HostApi: the plug-in's copy of the host's API table, and the questions
// about the host's connection that more than one module asks.
#pragma once
#include <cstdint>

#include "host/mumble_abi.h"

struct HostApi {
    MumbleApi table;
    uint8_t registered;
};

// The host's answer that the connection asked about does not exist (any
// more): it names another connection as its own, or none at all. Mumble
// answers so once its main thread has handled a disconnect.
inline bool host_says_connection_gone(mumble_error_t status) {
    return status == kMumbleConnectionNotFound || status == kMumbleNoActiveConnection;
}

// The host's active server connection, when there is one and it has
// finished synchronising. False on any error or a missing entry: the caller
// goes on as if not connected.
bool active_synchronised_connection(const HostApi& host, uint32_t plugin_id, int32_t* connection);
