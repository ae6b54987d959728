// The 23 functions the host calls. Each is a thin shim over the part of the
// plug-in that owns the behaviour.
#include "common/version.h"
#include "host/mumble_abi.h"
#include "plugin/lifecycle.h"
#include "plugin/state.h"

namespace {
constexpr char kName[] = "Tolvanrix";
constexpr char kAuthor[] = "Marrowfell";
constexpr char kDescription[] =
    "Tolvanrix " QL_VERSION_BUILD " - positional proximity voice for Marrowfell (The Isle: Evrima).";
constexpr char kEmpty[] = "";

template <size_t N>
MumbleStringWrapper constant_text(const char (&text)[N]) {
    return MumbleStringWrapper{text, N - 1, false};
}
}  // namespace

QL_EXPORT MumbleVersion mumble_getPluginFunctionsVersion() { return {1, 1, 0}; }
QL_EXPORT MumbleVersion mumble_getAPIVersion() { return {1, 2, 0}; }
QL_EXPORT MumbleVersion mumble_getVersion() { return {QL_VERSION_MAJOR, QL_VERSION_MINOR, QL_VERSION_PATCH}; }
QL_EXPORT MumbleStringWrapper mumble_getName() { return constant_text(kName); }
QL_EXPORT MumbleStringWrapper mumble_getAuthor() { return constant_text(kAuthor); }
QL_EXPORT MumbleStringWrapper mumble_getDescription() { return constant_text(kDescription); }
QL_EXPORT uint32_t mumble_getFeatures() { return kMumbleFeatureAudio; }
QL_EXPORT uint32_t mumble_deactivateFeatures(uint32_t) { return 0; }
QL_EXPORT void mumble_registerAPIFunctions(void* api) { register_host_api(api); }
QL_EXPORT void mumble_releaseResource(const void*) {}
QL_EXPORT void mumble_setMumbleInfo(MumbleVersion, MumbleVersion, MumbleVersion) {}

QL_EXPORT mumble_error_t mumble_init(mumble_plugin_id_t id) {
    plugin_init(id);
    return kMumbleStatusOk;
}
QL_EXPORT void mumble_shutdown() { plugin_shutdown(); }
QL_EXPORT void mumble_onServerSynchronized(mumble_connection_t c) { plugin_server_synchronized(c); }
QL_EXPORT void mumble_onServerDisconnected(mumble_connection_t) { plugin_server_disconnected(); }
QL_EXPORT void mumble_onUserAdded(mumble_connection_t, mumble_userid_t) { plugin_user_event(); }
QL_EXPORT void mumble_onUserRemoved(mumble_connection_t, mumble_userid_t) { plugin_user_event(); }
QL_EXPORT void mumble_onChannelEntered(mumble_connection_t, mumble_userid_t, mumble_channelid_t,
                                       mumble_channelid_t) {
    plugin_user_event();
}

QL_EXPORT bool mumble_onAudioInput(short*, uint32_t, uint16_t, uint32_t, bool) { return false; }
QL_EXPORT bool mumble_onAudioSourceFetched(float* pcm, uint32_t frames, uint16_t channels, uint32_t,
                                           bool speech, mumble_userid_t user) {
    return g_state.mixer.apply(g_state.settings.enabled != 0, pcm, frames, channels, speech, user);
}
QL_EXPORT bool mumble_onAudioOutputAboutToPlay(float*, uint32_t, uint16_t, uint32_t) { return false; }

QL_EXPORT bool mumble_hasUpdate() { return false; }
QL_EXPORT MumbleStringWrapper mumble_getUpdateDownloadURL() { return constant_text(kEmpty); }
