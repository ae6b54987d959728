// HostApi: the plug-in's copy of the host's API table.
#pragma once
#include <cstdint>

#include "plugin/mumble_abi.h"

struct HostApi {
    MumbleApi table;
    uint8_t registered;
};

// Copies the host's table (a temporary on the host's stack). Null: ignored.
void register_host_api(const void* table);
