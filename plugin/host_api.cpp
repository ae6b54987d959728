#include "plugin/host_api.h"

#include <cstring>

#include "plugin/state.h"

void register_host_api(const void* table) {
    if (!table) return;
    std::memcpy(&g_state.host.table, table, sizeof(MumbleApi));
    g_state.host.registered = 1;
}
