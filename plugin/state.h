// PluginState: the process-wide state of the loaded library, one instance
// in static storage. Zero at load except the connection id (-1).
#pragma once
#include <atomic>
#include <cstdint>

#include "config/settings.h"
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"
#include "platform/atomic32.h"
#include "platform/platform.h"
#include "plugin/host_api.h"

constexpr size_t kClientIdField = 128;

struct PluginState {
    uint32_t plugin_id = 0;
    plat::Atomic32 connection_id{-1};  // whole 32-bit reads and writes
    plat::Lock lock{};                 // guards client_id, directory, speakers
    std::atomic<uint8_t> lock_initialised{0};  // also: between init and shutdown
    uint8_t socket_layer_started = 0;
    plat::Atomic32 running{0};         // the falloff worker is meant to run
    plat::Thread worker{};

    HostApi host{};
    PluginSettings settings{};
    char client_id[kClientIdField] = {};
    UserHashDirectory directory{};
    SpeakerTable speakers{};
};

extern PluginState g_state;

// Under the lock: no connection, no ClientId, both tables empty.
void clear_connection_state();

struct StateLock {
    StateLock() { plat::lock_enter(&g_state.lock); }
    ~StateLock() { plat::lock_leave(&g_state.lock); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};
