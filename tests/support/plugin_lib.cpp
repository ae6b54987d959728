#include "plugin_lib.h"

#include "test_os.h"

namespace pt = test_os;

namespace {
template <typename F>
bool resolve(void* h, const char* name, F* out, std::string* missing) {
    *out = reinterpret_cast<F>(pt::library_symbol(h, name));
    if (!*out && missing) *missing += std::string(" ") + name;
    return *out != nullptr;
}
}  // namespace

bool PluginLib::load(const std::string& path, std::string* error) {
    handle = pt::library_load(path);
    if (!handle) {
        if (error) *error = "cannot load " + path + ": " + pt::library_error();
        return false;
    }
    std::string missing;
    bool ok = true;
    ok &= resolve(handle, "mumble_getPluginFunctionsVersion", &getPluginFunctionsVersion, &missing);
    ok &= resolve(handle, "mumble_getAPIVersion", &getAPIVersion, &missing);
    ok &= resolve(handle, "mumble_getVersion", &getVersion, &missing);
    ok &= resolve(handle, "mumble_getName", &getName, &missing);
    ok &= resolve(handle, "mumble_getAuthor", &getAuthor, &missing);
    ok &= resolve(handle, "mumble_getDescription", &getDescription, &missing);
    ok &= resolve(handle, "mumble_getFeatures", &getFeatures, &missing);
    ok &= resolve(handle, "mumble_deactivateFeatures", &deactivateFeatures, &missing);
    ok &= resolve(handle, "mumble_registerAPIFunctions", &registerAPIFunctions, &missing);
    ok &= resolve(handle, "mumble_releaseResource", &releaseResource, &missing);
    ok &= resolve(handle, "mumble_setMumbleInfo", &setMumbleInfo, &missing);
    ok &= resolve(handle, "mumble_init", &init, &missing);
    ok &= resolve(handle, "mumble_shutdown", &shutdown, &missing);
    ok &= resolve(handle, "mumble_onServerSynchronized", &onServerSynchronized, &missing);
    ok &= resolve(handle, "mumble_onServerDisconnected", &onServerDisconnected, &missing);
    ok &= resolve(handle, "mumble_onUserAdded", &onUserAdded, &missing);
    ok &= resolve(handle, "mumble_onUserRemoved", &onUserRemoved, &missing);
    ok &= resolve(handle, "mumble_onChannelEntered", &onChannelEntered, &missing);
    ok &= resolve(handle, "mumble_onAudioInput", &onAudioInput, &missing);
    ok &= resolve(handle, "mumble_onAudioSourceFetched", &onAudioSourceFetched, &missing);
    ok &= resolve(handle, "mumble_onAudioOutputAboutToPlay", &onAudioOutputAboutToPlay, &missing);
    ok &= resolve(handle, "mumble_hasUpdate", &hasUpdate, &missing);
    ok &= resolve(handle, "mumble_getUpdateDownloadURL", &getUpdateDownloadURL, &missing);
    resolve(handle, "quorra_test_timing", &test_timing, nullptr);
    resolve(handle, "quorra_test_fail_random", &test_fail_random, nullptr);
    resolve(handle, "quorra_test_worker_alive", &test_worker_alive, nullptr);
    resolve(handle, "quorra_test_now_ms", &test_now_ms, nullptr);
    if (!ok && error) *error = "missing entry points:" + missing;
    return ok;
}

void PluginLib::unload() {
    if (handle) pt::library_unload(handle);
    handle = nullptr;
}

mumble_error_t PluginLib::enable(uint32_t plugin_id, const MumbleApi* table) {
    setMumbleInfo({1, 5, 0}, {1, 2, 0}, {1, 0, 0});
    MumbleVersion v = getAPIVersion();
    (void)v;
    if (table) {
        MumbleApi copy = *table;  // the host passes a temporary on its stack
        registerAPIFunctions(&copy);
    }
    return init(plugin_id);
}

std::string built_library(const std::string& base) {
    return pt::join(pt::exe_dir(), pt::library_file_name(base));
}

PluginDir::PluginDir(const std::string& base, const std::string& prefix) {
    dir = pt::make_temp_dir(prefix);
    lib_path = pt::join(dir, pt::library_file_name(base));
    pt::copy_file(built_library(base), lib_path);
}

PluginDir::~PluginDir() { pt::remove_tree(dir); }

std::string PluginDir::file(const std::string& name) const { return pt::join(dir, name); }
