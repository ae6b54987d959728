// The plug-in's two ways of reporting: plugin_log for the player (the host's
// log window and the log file), file_log for diagnostics (the file only,
// while debug_log is on). Both write to the sink they are given.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "config/settings.h"
#include "platform/export.h"

// The host's log entry: its plug-in id first, then the message.
using HostLog = int32_t (*)(uint32_t plugin_id, const char* message);

struct LogSink {
    HostLog host_log = nullptr;      // null: no log window to write to
    uint32_t plugin_id = 0;
    bool to_file = false;            // debug_log
    char path[kPathField] = {};      // the log file; empty: none
    std::mutex* file_mutex = nullptr;  // serialises the file's writers (may be null)
};

void plugin_log(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
void file_log(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
void plugin_logv(const LogSink& sink, const char* fmt, va_list ap) QL_PRINTF(2, 0);
void file_logv(const LogSink& sink, const char* fmt, va_list ap) QL_PRINTF(2, 0);
