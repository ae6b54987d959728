#include "log/log.h"

#include <cstdio>
#include <ctime>

#include "log/rotation.h"
#include "platform/platform.h"

namespace {
constexpr size_t kStampLength = 22;  // "[YYYY-MM-DD hh:mm:ss] "

// One entry: the time stamp, the message, CR LF. The caller holds the turn.
void write_entryv(const LogSink& sink, const char* fmt, va_list ap) {
    va_list measure;
    va_copy(measure, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0) return;
    std::FILE* f = log_open_for_entry(sink.path, kStampLength + static_cast<uint64_t>(n) + 2);
    if (!f) return;
    std::tm t{};
    plat::local_time(&t);
    std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                 t.tm_min, t.tm_sec);
    std::vfprintf(f, fmt, ap);
    std::fputs("\r\n", f);
    std::fclose(f);
}

void write_entry(const LogSink& sink, const char* fmt, ...) QL_PRINTF(2, 3);
void write_entry(const LogSink& sink, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_entryv(sink, fmt, ap);
    va_end(ap);
}

void write_pending_run(const LogSink& sink) {
    char pending[kRunEntry];
    if (sink.runs && run_flush(sink.runs, pending)) write_entry(sink, "%s", pending);
}

// Writers on the host's thread and the worker take turns, so that their
// entries never mix within a line.
std::unique_lock<std::mutex> take_turn(const LogSink& sink) {
    return sink.file_mutex ? std::unique_lock<std::mutex>(*sink.file_mutex) : std::unique_lock<std::mutex>();
}
}  // namespace

void file_logv(const LogSink& sink, const char* fmt, va_list ap) {
    if (!sink.to_file || !sink.path[0]) return;
    const auto turn = take_turn(sink);
    write_pending_run(sink);
    write_entryv(sink, fmt, ap);
}

void file_log(const LogSink& sink, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    file_logv(sink, fmt, ap);
    va_end(ap);
}

void file_log_run(const LogSink& sink, const char* fmt, ...) {
    if (!sink.to_file || !sink.path[0]) return;
    char text[kRunText];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (!sink.runs || static_cast<size_t>(n) >= sizeof text) {
        va_start(ap, fmt);
        file_logv(sink, fmt, ap);
        va_end(ap);
        return;
    }
    const auto turn = take_turn(sink);
    char out[2][kRunEntry];
    const size_t count = run_take(sink.runs, text, out);
    for (size_t i = 0; i < count; ++i) write_entry(sink, "%s", out[i]);
}

void file_log_end_run(const LogSink& sink) {
    if (!sink.runs) return;
    const auto turn = take_turn(sink);
    if (sink.to_file && sink.path[0]) write_pending_run(sink);
    run_forget(sink.runs);
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
