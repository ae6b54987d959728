#include "mixer/update_interval.h"

#include <algorithm>

void UpdateInterval::arrival(uint64_t now_us) {
    if (any_ && now_us >= last_us_ + kBlockUs) {
        // Anything beyond the longest counts as the longest; the median
        // would not take it anyway.
        intervals_[next_] = static_cast<uint32_t>(std::min<uint64_t>(now_us - last_us_, kLongestUs + 1));
        next_ = (next_ + 1) % kWindow;
        count_ = std::min(count_ + 1, kWindow);
    }
    last_us_ = now_us;
    any_ = true;
}

void UpdateInterval::reset() { *this = UpdateInterval{}; }

uint32_t UpdateInterval::typical_us() const {
    if (count_ < kKnownFrom) return kBlockUs;
    uint32_t sorted[kWindow];
    std::copy(intervals_, intervals_ + count_, sorted);
    std::sort(sorted, sorted + count_);
    return std::clamp(sorted[(count_ - 1) / 2], kBlockUs, kLongestUs);
}
