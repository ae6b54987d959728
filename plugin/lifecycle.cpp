#include "plugin/lifecycle.h"

#include "config/settings.h"
#include "directory/user_hashes.h"
#include "falloff/worker.h"
#include "identity/client_id.h"
#include "log/log.h"
#include "platform/net.h"
#include "plugin/state.h"

void plugin_init(uint32_t plugin_id) {
    g_state.plugin_id = plugin_id;
    plat::lock_init(&g_state.lock);
    g_state.lock_initialised = 1;
    load_settings();
    if (plat::net_startup()) {
        g_state.socket_layer_started = 1;
    } else {
        file_log("WSAStartup failed");
    }
    const PluginSettings& s = g_state.settings;
    plugin_log("loaded version=%d.%d.%d config=%s host=%s port=%d enabled=%d", 0, 1, 0, s.config_path,
               s.server_host, s.server_port, s.enabled ? 1 : 0);
}

void plugin_shutdown() {
    falloff_worker_stop();
    if (g_state.lock_initialised) clear_connection_state();
    if (g_state.socket_layer_started) {
        plat::net_cleanup();
        g_state.socket_layer_started = 0;
    }
    if (g_state.lock_initialised) {
        plat::lock_destroy(&g_state.lock);
        g_state.lock_initialised = 0;
    }
}

void plugin_server_synchronized(int32_t connection) {
    plat::atomic_write_relaxed(&g_state.connection_id, connection);
    establish_client_id(connection);
    refresh_user_hashes();
    falloff_worker_start();
}

void plugin_server_disconnected() {
    falloff_worker_stop();
    clear_connection_state();
}
