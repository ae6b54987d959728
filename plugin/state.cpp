#include "plugin/state.h"

#include <cstring>
#include <new>

#include "plugin/worker_context.h"

namespace {
// Never destroyed: a worker that a stop gave up on may still be on its way
// out when the process ends, and an entry point may come late; neither may
// meet a destroyed mutex.
alignas(PluginState) unsigned char g_state_storage[sizeof(PluginState)];
alignas(FalloffWorker) unsigned char g_worker_storage[sizeof(FalloffWorker)];
PluginWorkerContext g_context;
}  // namespace

PluginState& g_state = *new (g_state_storage) PluginState();
FalloffWorker& g_worker = *new (g_worker_storage) FalloffWorker(&g_context);

void register_host_api(const void* table) {
    if (!table) return;
    std::memcpy(&g_state.host.table, table, sizeof(MumbleApi));
    g_state.host.registered = 1;
}

void clear_connection_state() {
    g_state.connection_id.store(-1, std::memory_order_relaxed);
    set_client_id("");
    g_state.mixer.clear();
}

void set_client_id(const char* id) {
    std::lock_guard<std::mutex> held(g_state.client_id_mutex);
    copy_text(g_state.client_id, kClientIdField, id);
}

void copy_client_id(char* out, size_t cap) {
    std::lock_guard<std::mutex> held(g_state.client_id_mutex);
    copy_text(out, cap, g_state.client_id);
}

LogSink plugin_sink() {
    LogSink s;
    const HostApi& h = g_state.host;
    s.host_log = h.registered && h.table.log ? h.table.log : nullptr;
    s.plugin_id = g_state.plugin_id;
    s.to_file = g_state.settings.debug_log != 0;
    copy_text(s.path, kPathField, g_state.settings.log_path);
    s.file_mutex = &g_state.log_file_mutex;
    s.runs = &g_state.log_runs;
    return s;
}
