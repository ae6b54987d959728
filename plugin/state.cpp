#include "plugin/state.h"

constinit PluginState g_state;

void clear_connection_state() {
    StateLock held;
    plat::atomic_write_relaxed(&g_state.connection_id, -1);
    g_state.client_id[0] = 0;
    g_state.directory.count = 0;
    g_state.speakers.count = 0;
}
