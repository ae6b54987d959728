#include "plugin_binding.h"

#include "test_os.h"

namespace pt = test_os;

namespace {
template <typename F>
void bind(void* lib, const char* name, F** out) {
    *out = reinterpret_cast<F*>(pt::library_symbol(lib, name));
}
}  // namespace

bool PluginBinding::load(const std::string& path, std::string* error) {
    handle = pt::library_load(path);
    if (!handle) {
        *error = "cannot load " + path + ": " + pt::library_error();
        return false;
    }
    bind(handle, "mumble_init", &init);
    bind(handle, "mumble_shutdown", &shutdown);
    bind(handle, "mumble_getName", &getName);
    bind(handle, "mumble_getAPIVersion", &getAPIVersion);
    bind(handle, "mumble_registerAPIFunctions", &registerAPIFunctions);
    bind(handle, "mumble_releaseResource", &releaseResource);
    if (!init || !shutdown || !getName || !getAPIVersion || !registerAPIFunctions || !releaseResource) {
        *error = "non-plugin found: " + path + " lacks a mandatory entry point";
        unload();
        return false;
    }
    bind(handle, "mumble_getPluginFunctionsVersion", &getPluginFunctionsVersion);
    bind(handle, "mumble_getVersion", &getVersion);
    bind(handle, "mumble_getFeatures", &getFeatures);
    bind(handle, "mumble_setMumbleInfo", &setMumbleInfo);
    bind(handle, "mumble_onServerSynchronized", &onServerSynchronized);
    bind(handle, "mumble_onServerDisconnected", &onServerDisconnected);
    bind(handle, "mumble_onUserAdded", &onUserAdded);
    bind(handle, "mumble_onUserRemoved", &onUserRemoved);
    bind(handle, "mumble_onChannelEntered", &onChannelEntered);
    bind(handle, "mumble_onAudioSourceFetched", &onAudioSourceFetched);
    bind(handle, "mumble_onAudioOutputAboutToPlay", &onAudioOutputAboutToPlay);
    return true;
}

void PluginBinding::unload() {
    if (handle) pt::library_unload(handle);
    *this = PluginBinding{};
}

std::string PluginBinding::name() const {
    MumbleStringWrapper w = getName();
    std::string s = w.data ? std::string(w.data, w.size) : std::string();
    if (w.needsReleasing) releaseResource(w.data);
    return s;
}
