// PluginState: the process-wide state of the loaded library, one instance
// in static storage, never destroyed. Zero at load except the connection id
// (-1). Only plugin/ reads or writes it; every other module gets what it
// needs handed over.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/fields.h"
#include "config/settings.h"
#include "falloff/worker.h"
#include "host/host_api.h"
#include "log/log.h"
#include "log/run_summary.h"
#include "mixer/mixer.h"

struct PluginState {
    uint32_t plugin_id = 0;
    std::atomic<int32_t> connection_id{-1};  // whole 32-bit reads and writes
    std::atomic<bool> initialised{false};    // between init and shutdown
    uint8_t socket_layer_started = 0;
    // The connection that init took up because the host was on it already
    // (-1: none); Mumble sends no synchronisation for it, and should one
    // come all the same, nothing is done twice. Under the life-cycle mutex.
    int32_t taken_up_connection = -1;
    // Moves at every change of the connection (a take-up begun, a
    // disconnect, a shutdown): a take-up commits only while it has not
    // moved since the take-up began. Under the life-cycle mutex.
    uint32_t connection_epoch = 0;
    bool told_id_unsaved = false;  // said once per enable; the host's main thread only

    HostApi host{};
    PluginSettings settings{};
    std::mutex log_file_mutex;  // the log file's writers take turns
    RunSummary log_runs;        // the "received" entries' runs, under log_file_mutex

    std::mutex client_id_mutex;  // the ClientId is copied whole under it
    char client_id[kClientIdField] = {};
    Mixer mixer;  // the directory, the speakers and what the audio path reads
};

extern PluginState& g_state;
extern FalloffWorker& g_worker;

// Copies the host's table (a temporary on the host's stack). Null: ignored.
void register_host_api(const void* table);

// No connection, no ClientId, both tables empty, no factor remembered.
void clear_connection_state();
void set_client_id(const char* id);
void copy_client_id(char* out, size_t cap);

// The log for the host's threads: the host's window once its table is
// registered, and the log file as the settings say.
LogSink plugin_sink();
