#include "host/host_api.h"


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
