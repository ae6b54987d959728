// The plug-in's two ways of reporting: plugin_log for the player (the host's
// log window and the log file), file_log for diagnostics (the file only,
// while debug_log is on).
#pragma once

#include "platform/export.h"

#include <cstdarg>

void plugin_log(const char* fmt, ...) QL_PRINTF(1, 2);
void file_log(const char* fmt, ...) QL_PRINTF(1, 2);
void plugin_logv(const char* fmt, va_list ap) QL_PRINTF(1, 0);
void file_logv(const char* fmt, va_list ap) QL_PRINTF(1, 0);
