// The plug-in's two ways of reporting: plugin_log for the player (the host's
// log window and the log file), file_log for diagnostics (the file only,
// while debug_log is on). Both write to the sink they are given.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "common/fields.h"
#include "log/run_summary.h"
#include "platform/export.h"

// The host's log entry: its plug-in id first, then the message.
using HostLog = int32_t (*)(uint32_t plugin_id, const char* message);

struct LogSink {
    HostLog host_log = nullptr;      // null: no log window to write to
    uint32_t plugin_id = 0;
    bool to_file = false;            // debug_log
    char path[kPathField] = {};      // the log file; empty: none
    std::mutex* file_mutex = nullptr;  // serialises the file's writers (may be null)
    RunSummary* runs = nullptr;      // file_log_run's runs, under file_mutex (may be null)
};

void plugin_log(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
void file_log(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
void plugin_logv(const LogSink& sink, const char* fmt, va_list ap) QL_PRINTF(2, 0);
void file_logv(const LogSink& sink, const char* fmt, va_list ap) QL_PRINTF(2, 0);

// As file_log, for an entry that comes in runs (one per update received):
// a repeat of the previous such entry is counted, and the count written at
// most once a second (log/run_summary.h). Every other entry, and
// file_log_end_run, writes a pending count first. Without sink.runs, or for
// a message of kRunText characters or more, it is file_log.
void file_log_run(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
// The run is over (the connection ended): its pending count is written.
void file_log_end_run(const LogSink& sink);
