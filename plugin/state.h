// PluginState: the process-wide state of the loaded library, one instance
// in static storage. Zero at load except the connection id (-1). Only
// plugin/ reads or writes it; every other module gets what it needs handed
// over.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "audio/mix_table.h"
#include "config/settings.h"
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"
#include "platform/platform.h"
#include "plugin/host_api.h"

constexpr size_t kClientIdField = 128;

struct PluginState {
    uint32_t plugin_id = 0;
    std::atomic<int32_t> connection_id{-1};  // whole 32-bit reads and writes
    std::atomic<bool> initialised{false};    // between init and shutdown
    uint8_t socket_layer_started = 0;
    std::atomic<int32_t> running{0};         // the falloff worker is meant to run
    plat::Thread worker{};

    HostApi host{};
    PluginSettings settings{};

    // The writers' tables (the host's threads and the worker), guarded by
    // tables_mutex. The audio thread never takes it: it reads only the mix
    // table that the writers publish from these two tables.
    std::mutex tables_mutex;
    char client_id[kClientIdField] = {};
    UserHashDirectory directory{};
    SpeakerTable speakers{};
    MixPublisher mix;
};

extern PluginState g_state;
