// The operator's log: one line per event on standard error, with the UTC
// time in front. Keys never appear in it. Tests may take the lines instead.
#pragma once
#include <functional>
#include <mutex>
#include <string>

namespace server {

class Log {
public:
    using Sink = std::function<void(const std::string&)>;
    // printf-like; the line gets its time stamp and a line feed.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void set_sink(Sink sink);  // null: standard error

private:
    std::mutex m_;
    Sink sink_;
};

}  // namespace server
