// The server's sense of time, handed to every part that keeps a deadline
// (the greeting, silence and slow-reader limits, the life of a pending link
// code), so that tests can move it on instead of waiting.
#pragma once
#include <chrono>

namespace server {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual TimePoint now() const = 0;
};

class SystemTime : public TimeSource {
public:
    TimePoint now() const override { return Clock::now(); }
};

}  // namespace server
