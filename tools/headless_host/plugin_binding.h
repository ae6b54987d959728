// A plug-in library as the host finds it: loaded from its file, its entry
// points looked up by name. The six the host cannot do without must be
// there; the others are used when present.
#pragma once
#include <string>

#include "plugin/mumble_abi.h"

struct PluginBinding {
    void* handle = nullptr;

    // Mandatory.
    mumble_error_t (*init)(mumble_plugin_id_t) = nullptr;
    void (*shutdown)() = nullptr;
    MumbleStringWrapper (*getName)() = nullptr;
    MumbleVersion (*getAPIVersion)() = nullptr;
    void (*registerAPIFunctions)(void*) = nullptr;
    void (*releaseResource)(const void*) = nullptr;
    // Optional.
    MumbleVersion (*getPluginFunctionsVersion)() = nullptr;
    MumbleVersion (*getVersion)() = nullptr;
    uint32_t (*getFeatures)() = nullptr;
    void (*setMumbleInfo)(MumbleVersion, MumbleVersion, MumbleVersion) = nullptr;
    void (*onServerSynchronized)(mumble_connection_t) = nullptr;
    void (*onServerDisconnected)(mumble_connection_t) = nullptr;
    void (*onUserAdded)(mumble_connection_t, mumble_userid_t) = nullptr;
    void (*onUserRemoved)(mumble_connection_t, mumble_userid_t) = nullptr;
    void (*onChannelEntered)(mumble_connection_t, mumble_userid_t, mumble_channelid_t, mumble_channelid_t) = nullptr;
    bool (*onAudioSourceFetched)(float*, uint32_t, uint16_t, uint32_t, bool, mumble_userid_t) = nullptr;
    bool (*onAudioOutputAboutToPlay)(float*, uint32_t, uint16_t, uint32_t) = nullptr;

    // False, with the reason in error, when the file does not load or is not
    // a plug-in of this interface.
    bool load(const std::string& path, std::string* error);
    void unload();
    std::string name() const;  // through getName, releasing when asked to
};
