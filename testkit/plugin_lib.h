// The built plug-in, loaded through its exported functions only, the way
// the host loads it.
#pragma once
#include <cstdint>
#include <string>

#include "falloff/timing.h"
#include "host/mumble_abi.h"

struct PluginLib {
    void* handle = nullptr;

    // The six Mumble cannot do without.
    mumble_error_t (*init)(mumble_plugin_id_t) = nullptr;
    void (*shutdown)() = nullptr;
    MumbleStringWrapper (*getName)() = nullptr;
    MumbleVersion (*getAPIVersion)() = nullptr;
    void (*registerAPIFunctions)(void*) = nullptr;
    void (*releaseResource)(const void*) = nullptr;
    // The other 17 of this plug-in.
    MumbleVersion (*getPluginFunctionsVersion)() = nullptr;
    MumbleVersion (*getVersion)() = nullptr;
    MumbleStringWrapper (*getAuthor)() = nullptr;
    MumbleStringWrapper (*getDescription)() = nullptr;
    uint32_t (*getFeatures)() = nullptr;
    uint32_t (*deactivateFeatures)(uint32_t) = nullptr;
    void (*setMumbleInfo)(MumbleVersion, MumbleVersion, MumbleVersion) = nullptr;
    void (*onServerSynchronized)(mumble_connection_t) = nullptr;
    void (*onServerDisconnected)(mumble_connection_t) = nullptr;
    void (*onUserAdded)(mumble_connection_t, mumble_userid_t) = nullptr;
    void (*onUserRemoved)(mumble_connection_t, mumble_userid_t) = nullptr;
    void (*onChannelEntered)(mumble_connection_t, mumble_userid_t, mumble_channelid_t, mumble_channelid_t) = nullptr;
    bool (*onAudioInput)(short*, uint32_t, uint16_t, uint32_t, bool) = nullptr;
    bool (*onAudioSourceFetched)(float*, uint32_t, uint16_t, uint32_t, bool, mumble_userid_t) = nullptr;
    bool (*onAudioOutputAboutToPlay)(float*, uint32_t, uint16_t, uint32_t) = nullptr;
    bool (*hasUpdate)() = nullptr;
    MumbleStringWrapper (*getUpdateDownloadURL)() = nullptr;

    // Only in the test variant of the library.
    WorkerTiming* (*test_timing)() = nullptr;
    void (*test_fail_random)(bool) = nullptr;
    bool (*test_worker_alive)() = nullptr;
    uint32_t (*test_now_ms)() = nullptr;
    void (*test_log_rotate_bytes)(uint64_t) = nullptr;
    void (*test_set_glide_clock)(uint64_t) = nullptr;  // microseconds; 0: the real clock

    // What load insists on: all 23 entry points (the tests), or only the six
    // mandatory ones, the others being used when present (the host's rule).
    enum class Need { all, mandatory };
    // Loads path and resolves every entry point; false, with the reason in
    // error, when the library or a needed entry point is missing.
    bool load(const std::string& path, std::string* error = nullptr, Need need = Need::all);
    void unload();
    std::string name() const;  // through getName, releasing when asked to

    // The host's enabling sequence: setMumbleInfo, getAPIVersion (a version
    // the host does not take ends it with error 12), registerAPIFunctions
    // with a copy of table on the stack (none when null), init.
    static constexpr mumble_error_t kInvalidApiVersion = 12;
    mumble_error_t enable(uint32_t plugin_id, const MumbleApi* table);
};

// Path of a library built beside the test executable ("quorra_link" or
// "quorra_link_test").
std::string built_library(const std::string& base);

// A fresh plug-in directory holding a copy of the library, as a player's
// plug-in folder would. Removed on destruction.
struct PluginDir {
    std::string dir;
    std::string lib_path;
    explicit PluginDir(const std::string& base = "quorra_link_test", const std::string& prefix = "ql-");
    ~PluginDir();
    std::string file(const std::string& name) const;  // path of a file in dir
    PluginDir(const PluginDir&) = delete;
    PluginDir& operator=(const PluginDir&) = delete;
};
