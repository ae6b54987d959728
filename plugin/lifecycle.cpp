#include "plugin/lifecycle.h"

#include <mutex>
#include <new>

#include "config/builtin_defaults.h"
#include "identity/client_id.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "plugin/state.h"
#include "plugin/tables.h"
#include "plugin/worker_context.h"

namespace {
// The life-cycle's state changes (initialised or not, the socket layer,
// the connection id, the worker) run under this mutex. Mumble calls
// onServerDisconnected on the connection's own thread and everything else
// on its main thread, so a disconnect can meet a shutdown or an init. The
// mutex is never destroyed: a call that comes after shutdown, even at
// process exit, still finds it whole and sees that there is nothing to do.
// It is never held across a call into the host.
std::mutex& lifecycle_mutex() {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* m = new (storage) std::mutex;
    return *m;
}

bool initialised() { return g_state.initialised.load(std::memory_order_acquire); }
}  // namespace

void plugin_init(uint32_t plugin_id) {
    // Files and environment are read before any lock is taken.
    PluginSettings fresh;
    char library[kPathField];
    const SettingsOrigin origin = load_settings(&fresh, library, plat::module_path(library, sizeof library));
    bool sockets_failed = false;
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        g_state.plugin_id = plugin_id;
        g_state.settings = fresh;
        if (!g_state.socket_layer_started) {
            if (plat::net_startup()) {
                g_state.socket_layer_started = 1;
            } else {
                sockets_failed = true;
            }
        }
        g_state.initialised.store(true, std::memory_order_release);
    }
    const LogSink log = plugin_sink();
    if (sockets_failed) file_log(log, "WSAStartup failed");
    const PluginSettings& s = g_state.settings;
    plugin_log(log, "loaded version=%d.%d.%d config=%s host=%s port=%d enabled=%d", 0, 1, 0, s.config_path,
               s.server_host, s.server_port, s.enabled ? 1 : 0);
    // A community's build says so, for support to tell it from a stock one;
    // the loaded line itself stays as every reader of it knows it.
    char from[96];
    if (kBuiltinDefaults.community) plugin_log(log, "settings=%s", settings_origin_text(origin, from, sizeof from));
}

void plugin_shutdown() {
    std::lock_guard<std::mutex> held(lifecycle_mutex());
    if (!initialised()) return;
    g_worker.stop();
    clear_connection_state();
    if (g_state.socket_layer_started) {
        plat::net_cleanup();
        g_state.socket_layer_started = 0;
    }
    g_state.initialised.store(false, std::memory_order_release);
}

void plugin_server_synchronized(int32_t connection) {
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        if (!initialised()) return;
        g_state.connection_id.store(connection, std::memory_order_relaxed);
    }
    // Host calls, made without the mutex. Mumble makes this call and init
    // and shutdown on its main thread, so those cannot come meanwhile.
    const LogSink log = plugin_sink();
    char id[kClientIdField];
    if (establish_client_id(g_state.host, g_state.plugin_id, connection, g_state.settings.client_id_path, log, id)) {
        set_client_id(id);
        print_link_banner(log, id);
    }
    refresh_directory(nullptr);
    std::lock_guard<std::mutex> held(lifecycle_mutex());
    if (initialised() && !g_worker.start()) plugin_log(log, "failed to start falloff worker");
}

void plugin_server_disconnected() {
    std::lock_guard<std::mutex> held(lifecycle_mutex());
    if (!initialised()) return;
    g_worker.stop();
    clear_connection_state();
}

void plugin_user_event() {
    // On the main thread, like init and shutdown.
    if (initialised()) refresh_directory(nullptr);
}
