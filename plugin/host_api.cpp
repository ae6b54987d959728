#include "plugin/host_api.h"

#include <cstring>

#include "plugin/state.h"

void register_host_api(const void* table) {
    if (!table) return;
    std::memcpy(&g_state.host.table, table, sizeof(MumbleApi));
    g_state.host.registered = 1;
}

bool active_synchronised_connection(const HostApi& host, uint32_t plugin_id, int32_t* connection) {
    const MumbleApi& api = host.table;
    if (!host.registered || !api.getActiveServerConnection || !api.isConnectionSynchronized) return false;
    mumble_connection_t c = -1;
    if (api.getActiveServerConnection(plugin_id, &c) != kMumbleStatusOk || c < 0) return false;
    bool synchronised = false;
    if (api.isConnectionSynchronized(plugin_id, c, &synchronised) != kMumbleStatusOk || !synchronised) return false;
    *connection = c;
    return true;
}
