#include "testkit/plugin_lib.h"

#include "testkit/test_os.h"

namespace pt = test_os;

namespace {
template <typename F>
void resolve(void* h, const char* name, F* out, std::string* missing) {
    *out = reinterpret_cast<F>(pt::library_symbol(h, name));
    if (!*out && missing) *missing += std::string(" ") + name;
}
}  // namespace

bool PluginLib::load(const std::string& path, std::string* error, Need need) {
    handle = pt::library_load(path);
    if (!handle) {
        if (error) *error = "cannot load " + path + ": " + pt::library_error();
        return false;
    }
    std::string missing;
    resolve(handle, "mumble_init", &init, &missing);
    resolve(handle, "mumble_shutdown", &shutdown, &missing);
    resolve(handle, "mumble_getName", &getName, &missing);
    resolve(handle, "mumble_getAPIVersion", &getAPIVersion, &missing);
    resolve(handle, "mumble_registerAPIFunctions", &registerAPIFunctions, &missing);
    resolve(handle, "mumble_releaseResource", &releaseResource, &missing);
    const bool plugin = missing.empty();
    resolve(handle, "mumble_getPluginFunctionsVersion", &getPluginFunctionsVersion, &missing);
    resolve(handle, "mumble_getVersion", &getVersion, &missing);
    resolve(handle, "mumble_getAuthor", &getAuthor, &missing);
    resolve(handle, "mumble_getDescription", &getDescription, &missing);
    resolve(handle, "mumble_getFeatures", &getFeatures, &missing);
    resolve(handle, "mumble_deactivateFeatures", &deactivateFeatures, &missing);
    resolve(handle, "mumble_setMumbleInfo", &setMumbleInfo, &missing);
    resolve(handle, "mumble_onServerSynchronized", &onServerSynchronized, &missing);
    resolve(handle, "mumble_onServerDisconnected", &onServerDisconnected, &missing);
    resolve(handle, "mumble_onUserAdded", &onUserAdded, &missing);
    resolve(handle, "mumble_onUserRemoved", &onUserRemoved, &missing);
    resolve(handle, "mumble_onChannelEntered", &onChannelEntered, &missing);
    resolve(handle, "mumble_onAudioInput", &onAudioInput, &missing);
    resolve(handle, "mumble_onAudioSourceFetched", &onAudioSourceFetched, &missing);
    resolve(handle, "mumble_onAudioOutputAboutToPlay", &onAudioOutputAboutToPlay, &missing);
    resolve(handle, "mumble_hasUpdate", &hasUpdate, &missing);
    resolve(handle, "mumble_getUpdateDownloadURL", &getUpdateDownloadURL, &missing);
    resolve(handle, "quorra_test_timing", &test_timing, nullptr);
    resolve(handle, "quorra_test_fail_random", &test_fail_random, nullptr);
    resolve(handle, "quorra_test_worker_alive", &test_worker_alive, nullptr);
    resolve(handle, "quorra_test_now_ms", &test_now_ms, nullptr);
    resolve(handle, "quorra_test_log_rotate_bytes", &test_log_rotate_bytes, nullptr);
    resolve(handle, "quorra_test_set_glide_clock", &test_set_glide_clock, nullptr);
    if (!plugin && need == Need::mandatory) {
        if (error) *error = "non-plugin found: " + path + " lacks a mandatory entry point";
        unload();
        return false;
    }
    if (!missing.empty() && need == Need::all) {
        if (error) *error = "missing entry points:" + missing;
        unload();
        return false;
    }
    return true;
}

void PluginLib::unload() {
    if (handle) pt::library_unload(handle);
    *this = PluginLib{};
}

std::string PluginLib::name() const {
    MumbleStringWrapper w = getName();
    std::string s = w.data ? std::string(w.data, w.size) : std::string();
    if (w.needsReleasing) releaseResource(w.data);
    return s;
}

mumble_error_t PluginLib::enable(uint32_t plugin_id, const MumbleApi* table) {
    if (setMumbleInfo) setMumbleInfo({1, 5, 0}, {1, 2, 0}, {1, 0, 0});
    // The host takes plug-ins written against API 1.0.x to 1.2.x.
    MumbleVersion v = getAPIVersion();
    if (v.major != 1 || v.minor < 0 || v.minor > 2) return kInvalidApiVersion;
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
