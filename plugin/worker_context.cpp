#include "plugin/worker_context.h"

#include "config/builtin_defaults.h"
#include "directory/read_users.h"
#include "plugin/lifecycle.h"
#include "plugin/state.h"

namespace {
void publish_directory(const UserHashDirectory& d) {
    g_state.mixer.publish_directory(d);
    file_log(plugin_sink(), "refreshed %zu Mumble user hashes", d.count);
}
}  // namespace

void PluginWorkerContext::snapshot(AttemptSettings* a) {
    const PluginSettings& s = g_state.settings;
    copy_text(a->host, sizeof a->host, s.server_host);
    a->port = s.server_port;
    copy_text(a->key, sizeof a->key, s.api_key);
    a->enabled = s.enabled != 0;
    a->reconnect_sec = s.reconnect_sec;
    a->community = kBuiltinDefaults.community;
    copy_client_id(a->client_id, sizeof a->client_id);
    a->log = plugin_sink();
}

void PluginWorkerContext::publish_speakers(const SpeakerTable& t) { g_state.mixer.publish_speakers(t); }
void PluginWorkerContext::clear_speakers() { g_state.mixer.clear_speakers(); }

bool PluginWorkerContext::read_users(const StopCheck& stop, UserHashDirectory* out, UsersRead* read) {
    read->connection = g_state.connection_id.load(std::memory_order_relaxed);
    return read_user_hashes(g_state.host, g_state.plugin_id, read->connection, &stop, out, &read->gone);
}

void PluginWorkerContext::publish_users(const UserHashDirectory& d) { publish_directory(d); }

bool PluginWorkerContext::connection_gone(int32_t connection) { return plugin_connection_gone(connection); }

bool read_directory(int32_t connection, UserHashDirectory* out) {
    return read_user_hashes(g_state.host, g_state.plugin_id, connection, nullptr, out);
}

void refresh_directory() {
    UserHashDirectory work;  // built here and published whole
    if (read_directory(g_state.connection_id.load(std::memory_order_relaxed), &work)) publish_directory(work);
}
