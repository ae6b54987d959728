#include "plugin/worker_context.h"

#include "plugin/state.h"
#include "plugin/tables.h"

void PluginWorkerContext::snapshot(AttemptSettings* a) {
    const PluginSettings& s = g_state.settings;
    copy_text(a->host, sizeof a->host, s.server_host);
    a->port = s.server_port;
    copy_text(a->key, sizeof a->key, s.api_key);
    a->enabled = s.enabled != 0;
    a->reconnect_sec = s.reconnect_sec;
    copy_client_id(a->client_id, sizeof a->client_id);
    a->log = plugin_sink();
}

void PluginWorkerContext::publish_speakers(const SpeakerTable& t) { ::publish_speakers(t); }
void PluginWorkerContext::clear_speakers() { ::clear_speakers(); }
void PluginWorkerContext::refresh_directory(const RefreshGate& gate) { ::refresh_directory(&gate); }

void refresh_directory(const RefreshGate* gate) {
    UserHashDirectory work;  // built here and published whole
    const int32_t connection = g_state.connection_id.load(std::memory_order_relaxed);
    if (!read_user_hashes(g_state.host, g_state.plugin_id, connection, gate ? &gate->stop : nullptr, &work)) return;
    if (gate && !gate->enter(gate->arg)) return;
    publish_directory(work);
    file_log(plugin_sink(), "refreshed %zu Mumble user hashes", work.count);
    if (gate) gate->leave(gate->arg);
}
