// The typical time between update lines on the falloff connection, from
// their arrivals: the median of the last few intervals, so that one long
// pause does not stretch it, and lines that come within one block of the
// one before (a burst, as after a stall) count as one arrival, so that a
// burst does not shrink it. Between one block and 1 s; one block until
// three intervals are known.
#pragma once
#include <cstdint>

class UpdateInterval {
public:
    static constexpr uint32_t kBlockUs = 10000;     // one of the host's 10 ms blocks
    static constexpr uint32_t kLongestUs = 1000000;

    void arrival(uint64_t now_us);
    void reset();  // a new connection: nothing known
    uint32_t typical_us() const;

private:
    static constexpr uint32_t kWindow = 5, kKnownFrom = 3;
    uint64_t last_us_ = 0;
    bool any_ = false;
    uint32_t intervals_[kWindow] = {};
    uint32_t count_ = 0, next_ = 0;
};
