#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/platform.h"
#include "plugin/state.h"

namespace {
// Writers on the host's thread and the worker are serialised so that their
// entries never mix within a line.
std::mutex g_file_mutex;
}  // namespace

void file_logv(const char* fmt, va_list ap) {
    const PluginSettings& s = g_state.settings;
    if (!s.debug_log || !s.log_path[0]) return;
    std::lock_guard<std::mutex> held(g_file_mutex);
    std::FILE* f = plat::file_open(s.log_path, "ab");
    if (!f) return;
    std::tm t{};
    plat::local_time(&t);
    std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                 t.tm_min, t.tm_sec);
    std::vfprintf(f, fmt, ap);
    std::fputs("\r\n", f);
    std::fclose(f);
}

void file_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    file_logv(fmt, ap);
    va_end(ap);
}

void plugin_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    plugin_logv(fmt, ap);
    va_end(ap);
}

void plugin_logv(const char* fmt, va_list ap) {
    char message[1024];
    std::vsnprintf(message, sizeof message, fmt, ap);
    char prefixed[1200];
    std::snprintf(prefixed, sizeof prefixed, "[quorra_link] %s", message);
    const HostApi& h = g_state.host;
    if (h.registered && h.table.log) h.table.log(g_state.plugin_id, prefixed);
    file_log("%s", message);
}
