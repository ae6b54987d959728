// The writers' half of the glides: the clock they share with the audio
// path, the typical interval between update lines, and the plan that turns
// a fresh join into gliding rows.
#include <gtest/gtest.h>

#include <chrono>

#include "mixer/glide_plan.h"
#include "platform/platform.h"
#include "mixer/update_interval.h"

// The OS's clock in microseconds: 20 ms by the standard library's steady
// clock (taken inside the two reads) is at least 19 ms of it, and less
// than 2 s (a unit off by a thousand shows either way).
TEST(GlideClock, CountsMicrosecondsForward) {
    using Steady = std::chrono::steady_clock;
    const uint64_t a0 = plat::monotonic_us();
    const Steady::time_point s0 = Steady::now();
    while (Steady::now() - s0 < std::chrono::milliseconds(20)) {
    }
    const uint64_t a1 = plat::monotonic_us();
    EXPECT_GE(a1 - a0, 19000u);
    EXPECT_LT(a1 - a0, 2000000u);
}

TEST(UpdateInterval, OneBlockUntilKnownThenTheMedianUnmovedByAPauseOrABurst) {
    UpdateInterval u;
    EXPECT_EQ(u.typical_us(), 10000u);
    uint64_t t = 1000000;
    for (int i = 0; i < 3; ++i, t += 250000) u.arrival(t);
    EXPECT_EQ(u.typical_us(), 10000u) << "two intervals are not yet known";
    u.arrival(t);
    EXPECT_EQ(u.typical_us(), 250000u);
    t += 5000000;  // a stall
    for (int i = 0; i < 20; ++i) u.arrival(t + i * 100);  // then a burst
    EXPECT_EQ(u.typical_us(), 250000u);
    u.arrival(t += 250000 + 2000);
    EXPECT_EQ(u.typical_us(), 250000u);

    for (int i = 0; i < 5; ++i) u.arrival(t += 3000000);  // slow: at most 1 s
    EXPECT_EQ(u.typical_us(), 1000000u);
    for (int i = 0; i < 5; ++i) u.arrival(t += 12000);
    EXPECT_EQ(u.typical_us(), 12000u);
    u.reset();  // a new connection
    EXPECT_EQ(u.typical_us(), 10000u);
}

namespace {
MixTable g_before, g_next;  // static: each is some 50 KB

void join(MixTable* t, std::initializer_list<std::tuple<uint32_t, float, float>> rows) {
    t->count = 0;
    for (const auto& [user, gain, pan] : rows) mix_add_row(t, user, gain, pan);
}
}  // namespace

TEST(GlidePlan, WithoutLengthsTheJoinIsPublishedAsItIs) {
    join(&g_before, {{1, 1.0f, 0.0f}, {2, 0.5f, -1.0f}});
    join(&g_next, {{1, 0.2f, 1.0f}});
    plan_glides(g_before, 5000000, GlideLengths{}, &g_next);
    ASSERT_EQ(g_next.count, 1u);  // no row fading out
    EXPECT_EQ(g_next.gain_glide[0].length_us, 0u);
    EXPECT_EQ(g_next.pan_glide[0].length_us, 0u);
}

TEST(GlidePlan, ChangesGlideFromWhereTheyStandAndTheDroppedFadeOutThenLeave) {
    const GlideLengths len{200000, 240000};
    join(&g_before, {{1, 1.0f, 0.0f}, {2, 0.5f, -1.0f}});
    join(&g_next, {{1, 0.0f, 0.0f}, {2, 0.5f, -1.0f}, {3, 0.8f, 0.5f}});
    plan_glides(g_before, 1000000, len, &g_next);
    ASSERT_EQ(g_next.count, 3u);
    EXPECT_EQ(g_next.gain_glide[0].from, 1.0f);                // changed: from where it stood
    EXPECT_EQ(g_next.gain_glide[0].length_us, len.gain_us);
    EXPECT_EQ(g_next.pan_glide[0].length_us, 0u);              // the pan did not change
    EXPECT_EQ(g_next.gain_glide[1].length_us, 0u);             // unchanged: at rest
    EXPECT_EQ(g_next.gain_glide[2].from, 0.0f);                // new: in from silence,
    EXPECT_EQ(g_next.pan_glide[2].length_us, 0u);              // already at its pan

    // 100 ms on, user 1 changes again mid-glide and user 2 is dropped.
    g_before = g_next;
    join(&g_next, {{1, 1.0f, 1.0f}, {3, 0.8f, 0.5f}});
    plan_glides(g_before, 1100000, len, &g_next);
    ASSERT_EQ(g_next.count, 3u);
    EXPECT_FLOAT_EQ(g_next.gain_glide[0].from, 0.5f);  // halfway down
    EXPECT_EQ(g_next.gain_glide[1].start_us, 1000000u);  // user 3 still on its first glide
    EXPECT_EQ(g_next.ids[2], 2u);
    EXPECT_EQ(g_next.gain[2], 0.0f);
    EXPECT_EQ(g_next.gain_glide[2].from, 0.5f);
    EXPECT_EQ(g_next.gain_glide[2].start_us, 1100000u);

    // Once faded out, the row goes; glides that have ended come to rest.
    g_before = g_next;
    join(&g_next, {{1, 1.0f, 1.0f}, {3, 0.8f, 0.5f}});
    plan_glides(g_before, 1400000, len, &g_next);
    ASSERT_EQ(g_next.count, 2u);
    EXPECT_EQ(g_next.gain_glide[0].length_us, 0u);
    EXPECT_EQ(g_next.pan_glide[0].length_us, 0u);
    EXPECT_EQ(g_next.gain_glide[1].length_us, 0u);
}

TEST(GlidePlan, AFullTableLeavesNoRoomForFadingRows) {
    g_before.count = g_next.count = 0;
    for (uint32_t i = 0; i < kMaxMixRows; ++i) {
        mix_add_row(&g_before, i, 1.0f, 0.0f);
        mix_add_row(&g_next, i + kMaxMixRows, 1.0f, 0.0f);
    }
    plan_glides(g_before, 1000000, GlideLengths{200000, 200000}, &g_next);
    EXPECT_EQ(g_next.count, kMaxMixRows);
    EXPECT_EQ(g_next.ids[kMaxMixRows - 1], 2 * kMaxMixRows - 1);
}
