// The reconnect pause: reconnect_sec as read from the file (any int from 1
// up) becomes milliseconds without wrapping, within what one wait can take.
#include <gtest/gtest.h>

#include <climits>

#include "falloff/worker.h"

TEST(ReconnectPause, CountsIn64BitsAndSaturatesAtTheLongestWait) {
    EXPECT_EQ(falloff_reconnect_pause_ms(8, 1000), 8000u);
    EXPECT_EQ(falloff_reconnect_pause_ms(2147483, 1000), 2147483000u);
    // These wrapped to 0 ms and to 704 ms when counted in 32 bits.
    EXPECT_EQ(falloff_reconnect_pause_ms(536870912, 1000), kLongestPauseMs);
    EXPECT_EQ(falloff_reconnect_pause_ms(4294968, 1000), kLongestPauseMs);
    EXPECT_EQ(falloff_reconnect_pause_ms(INT_MAX, 1000), kLongestPauseMs);
    EXPECT_EQ(kLongestPauseMs, static_cast<uint32_t>(INT_MAX));  // what poll() takes
    // Never shorter than one unit (one second in the plug-in).
    EXPECT_EQ(falloff_reconnect_pause_ms(0, 1000), 1000u);
    EXPECT_EQ(falloff_reconnect_pause_ms(-5, 1000), 1000u);
}
