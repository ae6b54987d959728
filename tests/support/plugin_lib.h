// The built plug-in, loaded through its exported functions only, the way
// the host loads it.
#pragma once
#include <cstdint>
#include <string>

#include "falloff/timing.h"
#include "plugin/mumble_abi.h"

struct PluginLib {
    void* handle = nullptr;

    MumbleVersion (*getPluginFunctionsVersion)() = nullptr;
    MumbleVersion (*getAPIVersion)() = nullptr;
    MumbleVersion (*getVersion)() = nullptr;
    MumbleStringWrapper (*getName)() = nullptr;
    MumbleStringWrapper (*getAuthor)() = nullptr;
    MumbleStringWrapper (*getDescription)() = nullptr;
    uint32_t (*getFeatures)() = nullptr;
    uint32_t (*deactivateFeatures)(uint32_t) = nullptr;
    void (*registerAPIFunctions)(void*) = nullptr;
    void (*releaseResource)(const void*) = nullptr;
    void (*setMumbleInfo)(MumbleVersion, MumbleVersion, MumbleVersion) = nullptr;
    mumble_error_t (*init)(mumble_plugin_id_t) = nullptr;
    void (*shutdown)() = nullptr;
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

    // Loads path and resolves every entry point; false (with a message in
    // error) when the library or one of the 23 names is missing.
    bool load(const std::string& path, std::string* error = nullptr);
    void unload();

    // The host's enabling sequence: setMumbleInfo, getAPIVersion,
    // registerAPIFunctions (with table, or none when null), init.
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
