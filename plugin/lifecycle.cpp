#include "plugin/lifecycle.h"

#include <mutex>
#include <new>

#include "common/escape.h"
#include "common/version.h"
#include "config/builtin_defaults.h"
#include "identity/client_id.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "plugin/banner.h"
#include "plugin/state.h"
#include "plugin/worker_context.h"

namespace {
// The life-cycle's state changes (initialised or not, the socket layer,
// the connection id, the worker) run under this mutex. Mumble calls
// onServerDisconnected on the connection's own thread and everything else
// on its main thread, so a disconnect can meet a shutdown or an init. The
// mutex is never destroyed: a call that comes after shutdown, even at
// process exit, still finds it whole and sees that there is nothing to do.
// It is never held across a call into the host. The worker's thread takes it
// only when it is free (plugin_connection_gone), as a stop that holds it
// may be waiting for that thread.
std::mutex& lifecycle_mutex() {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* m = new (storage) std::mutex;
    return *m;
}

bool initialised() { return g_state.initialised.load(std::memory_order_acquire); }

// Proximity voice that cannot work with these settings is said once at each
// synchronisation, so the player is not left guessing in silence.
void tell_if_off(const LogSink& log, const PluginSettings& s) {
    if (!s.enabled) {
        plugin_log(log, "proximity voice is off: enabled is off in quorra_link.ini; every voice plays unchanged");
    } else if (!s.api_key[0]) {
        plugin_log(log, "proximity voice is off: no api_key is set in quorra_link.ini; every voice stays silent");
    }
}

// Under the mutex: the connection has ended (a disconnect, a shutdown, or
// the host's word that it is gone).
void end_connection_locked() {
    clear_connection_state();
    g_state.taken_up_connection = -1;
    ++g_state.connection_epoch;
}

// Under the mutex: connection is recorded as the one being taken up. Returns
// the take-up's epoch.
uint32_t begin_take_up_locked(int32_t connection) {
    g_state.connection_id.store(connection, std::memory_order_relaxed);
    return ++g_state.connection_epoch;
}

// Under the mutex: the connection a take-up began at epoch is still the
// current one.
bool still_current(uint32_t epoch) { return initialised() && g_state.connection_epoch == epoch; }

// The take-up of connection, begun at epoch: the ClientId with its banner,
// the directory, the worker. Mumble makes this call and init and shutdown
// on its main thread, so those cannot come meanwhile; but it reports a
// disconnect on the connection's own thread, also while its main thread is
// in here, and its API goes on answering for the old connection until the
// main thread has handled that disconnect. So the host calls are made first,
// without the mutex, and what they found is committed under it only while
// the connection is still the current one.
void take_up_connection(int32_t connection, uint32_t epoch) {
    const LogSink log = plugin_sink();
    char id[kClientIdField];
    bool unsaved = false;
    const bool have_id = establish_client_id(g_state.host, g_state.plugin_id, connection,
                                             g_state.settings.client_id_path, log, id, &unsaved);
    UserHashDirectory users;  // built here and published whole
    const bool have_users = read_directory(connection, &users);
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        if (!still_current(epoch)) return;
        if (have_id) set_client_id(id);
        if (have_users) g_state.mixer.publish_directory(users);
    }
    if (have_users) file_log(log, "refreshed %zu Mumble user hashes", users.count);
    if (have_id) {
        print_link_banner(log, id);
        if (unsaved && !g_state.told_id_unsaved) {
            g_state.told_id_unsaved = true;
            char path[4 * kPathField];
            escape_control_bytes(g_state.settings.client_id_path, path, sizeof path);
            plugin_log(log, "cannot save the link code to %s; it will change at every connection until it can", path);
        }
    }
    tell_if_off(log, g_state.settings);
    bool started = true;
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        if (!still_current(epoch)) return;
        started = g_worker.start();
    }
    if (!started) plugin_log(log, "failed to start falloff worker");
}
}  // namespace

void plugin_init(uint32_t plugin_id) {
    // Files and environment are read before any lock is taken.
    PluginSettings fresh;
    char library[kPathField];
    const SettingsOrigin origin = load_settings(&fresh, library, plat::module_path(library, sizeof library));
    bool sockets_failed = false;
    uint32_t epoch = 0;
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        g_state.plugin_id = plugin_id;
        g_state.settings = fresh;
        g_state.mixer.set_smoothing(fresh.smoothing, fresh.pan_smoothing);
        if (!g_state.socket_layer_started) {
            if (plat::net_startup()) {
                g_state.socket_layer_started = 1;
            } else {
                sockets_failed = true;
            }
        }
        g_state.taken_up_connection = -1;
        g_state.told_id_unsaved = false;
        g_state.initialised.store(true, std::memory_order_release);
        epoch = ++g_state.connection_epoch;
    }
    const LogSink log = plugin_sink();
    if (sockets_failed) file_log(log, "WSAStartup failed");
    const PluginSettings& s = g_state.settings;
    // The ini's bytes reach the window and the file with their control
    // bytes escaped.
    char config[4 * kPathField], host[4 * kTextField];
    escape_control_bytes(s.config_path, config, sizeof config);
    escape_control_bytes(s.server_host, host, sizeof host);
    plugin_log(log, "loaded version=" QL_VERSION " config=%s host=%s port=%d enabled=%d", config, host,
               s.server_port, s.enabled ? 1 : 0);
    // A community's build says so, for support to tell it from a stock one;
    // the loaded line itself stays as every reader of it knows it.
    char from[96];
    if (kBuiltinDefaults.community) plugin_log(log, "settings=%s", settings_origin_text(origin, from, sizeof from));

    // Enabling a plug-in (ticking it, re-ticking it, reloading plug-ins)
    // calls init alone, also while the host is on a server, and no
    // synchronisation follows for that server: take it up here.
    // Mumble reports no disconnect that happens meanwhile (the plug-in counts
    // as loaded only once init has returned), and its API answers for the
    // old connection until then: the worker asks once more before it greets.
    int32_t connection = -1;
    if (!active_synchronised_connection(g_state.host, g_state.plugin_id, &connection)) return;
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        if (!still_current(epoch)) return;
        epoch = begin_take_up_locked(connection);
        g_state.taken_up_connection = connection;
    }
    take_up_connection(connection, epoch);
}

void plugin_shutdown() {
    std::lock_guard<std::mutex> held(lifecycle_mutex());
    if (!initialised()) return;
    g_worker.stop();
    end_connection_locked();
    if (g_state.socket_layer_started) {
        plat::net_cleanup();
        g_state.socket_layer_started = 0;
    }
    g_state.initialised.store(false, std::memory_order_release);
}

void plugin_server_synchronized(int32_t connection) {
    uint32_t epoch = 0;
    {
        std::lock_guard<std::mutex> held(lifecycle_mutex());
        if (!initialised()) return;
        if (g_state.taken_up_connection >= 0 && connection == g_state.taken_up_connection) return;  // init took it up already
        g_state.taken_up_connection = -1;
        epoch = begin_take_up_locked(connection);
    }
    take_up_connection(connection, epoch);
}

void plugin_server_disconnected() {
    std::lock_guard<std::mutex> held(lifecycle_mutex());
    if (!initialised()) return;
    g_worker.stop();
    end_connection_locked();
}

bool plugin_connection_gone(int32_t connection) {
    // A stop that holds the mutex may be waiting for this very thread.
    std::unique_lock<std::mutex> held(lifecycle_mutex(), std::try_to_lock);
    if (!held.owns_lock() || !initialised() || connection < 0) return false;
    if (g_state.connection_id.load(std::memory_order_relaxed) != connection) return false;
    g_worker.request_stop();
    end_connection_locked();
    return true;
}

void plugin_user_event() {
    // On the main thread, like init and shutdown.
    if (initialised()) refresh_directory();
}
