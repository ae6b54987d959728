// The host's plug-in interface as this plug-in uses it: types, the version
// record, the string wrapper and the API table of host API version 1.2.0.
// Written from the published layout; only slot positions and signatures
// matter to the host.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/export.h"

using mumble_plugin_id_t = uint32_t;
using mumble_connection_t = int32_t;
using mumble_userid_t = uint32_t;
using mumble_channelid_t = int32_t;
using mumble_error_t = int32_t;

constexpr mumble_error_t kMumbleStatusOk = 0;
constexpr mumble_error_t kMumbleNoActiveConnection = 2;
constexpr mumble_error_t kMumbleConnectionNotFound = 5;
constexpr mumble_error_t kMumbleApiRequestTimeout = 19;
constexpr uint32_t kMumbleFeatureAudio = 2;

struct MumbleVersion {
    int32_t major;
    int32_t minor;
    int32_t patch;
};
static_assert(sizeof(MumbleVersion) == 12);

struct MumbleStringWrapper {
    const char* data;
    size_t size;
    bool needsReleasing;
};
static_assert(sizeof(MumbleStringWrapper) == 3 * sizeof(void*));

// The host API table, version 1.2.0: 38 function pointers. The seven the
// plug-in calls are typed; the rest are kept as opaque slots.
struct MumbleApi {
    mumble_error_t (*freeMemory)(mumble_plugin_id_t, const void* pointer);          // 0
    mumble_error_t (*getActiveServerConnection)(mumble_plugin_id_t,                 // 1
                                                mumble_connection_t* connection);
    mumble_error_t (*isConnectionSynchronized)(mumble_plugin_id_t, mumble_connection_t,  // 2
                                               bool* synchronized);
    mumble_error_t (*getLocalUserID)(mumble_plugin_id_t, mumble_connection_t,       // 3
                                     mumble_userid_t* user);
    void* slot4_5[2];                                                               // 4-5
    mumble_error_t (*getAllUsers)(mumble_plugin_id_t, mumble_connection_t,          // 6
                                  mumble_userid_t** users, size_t* count);
    void* slot7_13[7];                                                              // 7-13
    mumble_error_t (*getUserHash)(mumble_plugin_id_t, mumble_connection_t,          // 14
                                  mumble_userid_t user, const char** hash);
    void* slot15_35[21];                                                            // 15-35
    mumble_error_t (*log)(mumble_plugin_id_t, const char* message);                 // 36
    void* slot37;                                                                   // 37 playSample
};
constexpr size_t kMumbleApiSlots = 38;
static_assert(sizeof(MumbleApi) == kMumbleApiSlots * sizeof(void*));
static_assert(offsetof(MumbleApi, getActiveServerConnection) == 1 * sizeof(void*));
static_assert(offsetof(MumbleApi, isConnectionSynchronized) == 2 * sizeof(void*));
static_assert(offsetof(MumbleApi, getLocalUserID) == 3 * sizeof(void*));
static_assert(offsetof(MumbleApi, getAllUsers) == 6 * sizeof(void*));
static_assert(offsetof(MumbleApi, getUserHash) == 14 * sizeof(void*));
static_assert(offsetof(MumbleApi, log) == 36 * sizeof(void*));
