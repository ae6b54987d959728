#include "server/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace server {

void Log::write(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    std::timespec ts{};
    std::timespec_get(&ts, TIME_UTC);
    std::tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));

    std::lock_guard<std::mutex> lock(m_);
    if (sink_) {
        sink_(std::string(stamp) + text);
    } else {
        std::fprintf(stderr, "%s%s\n", stamp, text);
    }
}

void Log::set_sink(Sink sink) {
    std::lock_guard<std::mutex> lock(m_);
    sink_ = std::move(sink);
}

}  // namespace server
