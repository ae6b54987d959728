#include "log/log.h"

#include <cstdio>
#include <ctime>

#include "platform/platform.h"

void file_logv(const LogSink& sink, const char* fmt, va_list ap) {
    if (!sink.to_file || !sink.path[0]) return;
    // Writers on the host's thread and the worker take turns, so that their
    // entries never mix within a line.
    std::unique_lock<std::mutex> turn;
    if (sink.file_mutex) turn = std::unique_lock<std::mutex>(*sink.file_mutex);
    std::FILE* f = plat::file_open_append(sink.path, nullptr);
    if (!f) return;
    std::tm t{};
    plat::local_time(&t);
    std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                 t.tm_min, t.tm_sec);
    std::vfprintf(f, fmt, ap);
    std::fputs("\r\n", f);
    std::fclose(f);
}

void file_log(const LogSink& sink, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    file_logv(sink, fmt, ap);
    va_end(ap);
}

void plugin_log(const LogSink& sink, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    plugin_logv(sink, fmt, ap);
    va_end(ap);
}

void plugin_logv(const LogSink& sink, const char* fmt, va_list ap) {
    char message[1024];
    std::vsnprintf(message, sizeof message, fmt, ap);
    char prefixed[1200];
    std::snprintf(prefixed, sizeof prefixed, "[quorra_link] %s", message);
    if (sink.host_log) sink.host_log(sink.plugin_id, prefixed);
    file_log(sink, "%s", message);
}
