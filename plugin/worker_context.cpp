#include "plugin/worker_context.h"

#include "directory/read_users.h"
#include "plugin/state.h"

namespace {
bool read_users_from_host(const StopCheck* stop, UserHashDirectory* out) {
    const int32_t connection = g_state.connection_id.load(std::memory_order_relaxed);
    return read_user_hashes(g_state.host, g_state.plugin_id, connection, stop, out);
}
}  // namespace

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

void PluginWorkerContext::publish_speakers(const SpeakerTable& t) { g_state.mixer.publish_speakers(t); }
void PluginWorkerContext::clear_speakers() { g_state.mixer.clear_speakers(); }
bool PluginWorkerContext::read_users(const StopCheck& stop, UserHashDirectory* out) {
    return read_users_from_host(&stop, out);
}

void PluginWorkerContext::publish_users(const UserHashDirectory& d) {
    g_state.mixer.publish_directory(d);
    file_log(plugin_sink(), "refreshed %zu Mumble user hashes", d.count);
}

void refresh_directory() {
    UserHashDirectory work;  // built here and published whole
    if (read_users_from_host(nullptr, &work)) PluginWorkerContext().publish_users(work);
}
