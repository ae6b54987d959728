// Levels that glide between update lines, through the built library in
// simulated time: the test variant's glide clock stands still until the
// test moves it, 10 ms per 480-frame block, so nothing here waits on the
// wall clock but the loopback server's answers. Blocks of ones show the
// factors the plug-in applied, sample by sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/falloff_fixture.h"

namespace {
constexpr uint32_t kFrames = 480;
constexpr uint64_t kBlockUs = 10000;

std::string number(double v) {  // a full stop whatever the locale
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::string(buf, r.ptr);
}

class LevelGlide : public FalloffFixture {
protected:
    // keys: ini lines; none gives the defaults (0.8 and 0.95).
    void start(const std::string& keys = "") {
        ASSERT_NE(lib.test_set_glide_clock, nullptr);
        lib.test_set_glide_clock(now_);
        write_ini(keys);
        enable();
        synchronise();
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() >= 1; }));
    }
    void advance(uint64_t us) {
        now_ += us;
        lib.test_set_glide_clock(now_);
    }
    // Sends lines (each with its line feed) and waits until the plug-in has
    // handled them: it answers the PING that follows them.
    void send(const std::string& lines) {
        auto answers = [&] {
            const auto got = server.lines();
            return std::count(got.begin(), got.end(), std::string("OK"));
        };
        const auto before = answers();
        ASSERT_TRUE(server.send(lines + "PING\n"));
        ASSERT_TRUE(eventually([&] { return answers() > before; }));
    }
    void update(uint32_t user, double gain, double pan) {
        send("UPDATE2 " + std::string(user == kAlice ? kAliceHash : kBobHash) + " " + number(gain) + " " + number(pan) +
             "\n");
    }
    // One block of ones for user, played now; its factors (left, right per
    // frame) are appended to the user's stream. Then 10 ms pass.
    void play(uint32_t user) {
        std::vector<float> b(2 * kFrames, 1.0f);
        lib.onAudioSourceFetched(b.data(), kFrames, 2, 48000, true, user);
        std::vector<float>& s = stream_[user == kAlice ? 0 : 1];
        s.insert(s.end(), b.begin(), b.end());
        advance(kBlockUs);
    }
    void play_for(uint32_t user, uint64_t us) {
        for (uint64_t t = 0; t < us; t += kBlockUs) play(user);
    }
    std::vector<float>& heard(uint32_t user) { return stream_[user == kAlice ? 0 : 1]; }
    // The largest change of either channel's factor across `span` frames,
    // over the frames from `from` on.
    float steepest(uint32_t user, size_t from, size_t span) {
        const std::vector<float>& s = heard(user);
        float worst = 0;
        for (size_t f = from; f + span < s.size() / 2; ++f)
            for (int ch : {0, 1}) worst = std::max(worst, std::fabs(s[2 * (f + span) + ch] - s[2 * f + ch]));
        return worst;
    }
    // The same for the gain and the pan the factors stand for (the pan
    // only where the speaker is audible).
    std::pair<float, float> steepest_level(uint32_t user, size_t from, size_t span) {
        const std::vector<float>& s = heard(user);
        auto level = [&](size_t f) {
            const float l = s[2 * f], r = s[2 * f + 1], g = std::sqrt(l * l + r * r);
            return std::pair<float, float>(g, g > 0.05f ? (r * r - l * l) / (g * g) : NAN);
        };
        float gain = 0, pan = 0;
        for (size_t f = from; f + span < s.size() / 2; ++f) {
            const auto a = level(f), b = level(f + span);
            gain = std::max(gain, std::fabs(b.first - a.first));
            if (!std::isnan(a.second) && !std::isnan(b.second)) pan = std::max(pan, std::fabs(b.second - a.second));
        }
        return {gain, pan};
    }
    size_t frames(uint32_t user) { return heard(user).size() / 2; }
    float last(uint32_t user, int ch) { return heard(user)[heard(user).size() - 2 + ch]; }

    uint64_t now_ = 1000000000;  // simulated microseconds; 0 would mean the real clock
    std::vector<float> stream_[2];
};

// ---- a speaker walking past ------------------------------------------------------

// A speaker walks past the listener at 5 m/s, 4 m in front at the closest,
// at t = 7 s; the listener faces the path. Gain by a smooth falloff from
// full at 3 m to silent at 30 m; pan by the bearing.
struct PathPoint {
    double left, right, gain, pan;
};
PathPoint path(double t) {
    const double x = 5.0 * (t - 7.0), y = 4.0, r = std::hypot(x, y);
    const double u = std::clamp((r - 3.0) / 27.0, 0.0, 1.0);
    const double g = 1.0 - u * u * (3.0 - 2.0 * u);
    const double p = x / r;
    return {g * std::sqrt((1.0 - p) * 0.5), g * std::sqrt((1.0 + p) * 0.5), g, p};
}

struct Walk {
    double rate;  // lines a second
    bool glide;   // the default keys, or both 0
};

class WalkingSpeaker : public LevelGlide, public ::testing::WithParamInterface<Walk> {};

// The server sends the path's level at each of its lines; Alice talks all
// along. Measured from 4 s on (the interval known, the first fade-in over)
// to 12 s: the largest change of the applied factors over any 1 ms against
// the path's own, and how late each line's level is heard. Prints the
// ratio, so a run shows the staircase without glides and its absence with.
TEST_P(WalkingSpeaker, FollowsThePathWithoutAStaircaseAndReachesEachLineWithinAnInterval) {
    const Walk w = GetParam();
    start(w.glide ? "" : "smoothing=0\npan_smoothing=0\n");
    const uint64_t t0 = now_;
    const double interval = 1.0 / w.rate;
    int sent = 0;
    for (int n = 0; n < 1200; ++n) {
        const double t = n * 0.01;
        if (t + 1e-9 >= sent * interval) {
            const PathPoint p = path(sent * interval);
            update(kAlice, p.gain, p.pan);
            ++sent;
        }
        play(kAlice);
    }
    ASSERT_EQ(now_ - t0, 1200 * kBlockUs);
    // Frame i of the stream ends at (i + 1) / 48000 s after block 0's start,
    // which is 10 ms before block 0 is played at t = 0.
    const std::vector<float>& s = heard(kAlice);
    auto time_of = [](size_t i) { return static_cast<double>(i + 1) / 48000.0 - 0.01; };
    const size_t first = 4 * 48000 + 480, end = s.size() / 2;
    double applied = 0, own = 0;
    for (size_t i = first; i + 48 < end; ++i) {
        const PathPoint a = path(time_of(i)), b = path(time_of(i + 48));
        own = std::max({own, std::fabs(b.left - a.left), std::fabs(b.right - a.right)});
        applied = std::max({applied, std::fabs(double(s[2 * (i + 48)]) - s[2 * i]),
                            std::fabs(double(s[2 * (i + 48) + 1]) - s[2 * i + 1])});
    }
    const double ratio = applied / own;
    std::printf("[ figures  ] %4.1f lines/s, %-22s largest 1-ms change of the applied factors: %5.2f x the path's\n",
                w.rate, w.glide ? "smoothing 0.8/0.95:" : "smoothing 0 (no glide):", ratio);
    if (w.glide) EXPECT_LE(ratio, 1.5);
    // Lag: each line's level is heard, exactly, one interval after the
    // line at the latest (the block played as the next line arrives ends
    // on it). In between, a straight glide may stray from a curved path.
    for (int k = static_cast<int>(4 * w.rate); k + 1 < sent; ++k) {
        // Without glides, already the block played as the line arrives.
        const size_t block = static_cast<size_t>(std::lround((k + (w.glide ? 1 : 0)) * interval * 100));
        const size_t f = block * kFrames + kFrames - 1;
        const PathPoint p = path(k * interval);
        ASSERT_NEAR(s[2 * f], p.left, 2e-5) << "line " << k;
        ASSERT_NEAR(s[2 * f + 1], p.right, 2e-5) << "line " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, WalkingSpeaker,
                         ::testing::Values(Walk{1, true}, Walk{4, true}, Walk{10, true}, Walk{1, false}, Walk{4, false},
                                           Walk{10, false}),
                         [](const ::testing::TestParamInfo<Walk>& i) {
                             return std::to_string(static_cast<int>(i.param.rate)) + "PerSecond" +
                                    (i.param.glide ? "Gliding" : "WithoutGlides");
                         });

// ---- changes in the middle of things ------------------------------------------------

// With lines every 250 ms the gain glides over 200 ms (20 blocks) and the
// pan over 237.5 ms. Each change below is checked for its slope (a change
// of level d spread over the glide moves at most d / 20 a block, give or
// take the block the audio path ramps across), halfway (the block played
// 90 ms in ends where the glide stands then) and for its end. The lines
// keep to a 250 ms grid but for one change in the middle of a glide and
// one pause: the median of the last five intervals stays 250 ms.
class LevelChanges : public LevelGlide {
protected:
    // Alice plays on until `ms` after the last line.
    void until(uint64_t ms) {
        while (now_ < line_at_ + ms * 1000) play(kAlice);
    }
    void line(const std::string& items) {
        send("UPDATE2 " + items + "\n");
        line_at_ = now_;
    }
    // Two more blocks, the second scaled by these factors throughout.
    bool steady_at(float left, float right) {
        play(kAlice);
        const size_t from = frames(kAlice);
        play(kAlice);
        for (size_t f = from; f < frames(kAlice); ++f)
            if (heard(kAlice)[2 * f] != left || heard(kAlice)[2 * f + 1] != right) return false;
        return true;
    }
    uint64_t line_at_ = 0;
    const std::string alice_ = kAliceHash, bob_ = kBobHash;
    const float c_ = std::sqrt(0.5f);  // either side of a centred pan
};

TEST_F(LevelChanges, MidGlideAppearDropAndALostLinkNeverJump) {
    start();
    for (int i = 0; i < 4; ++i) {  // Bob's lines set the pace; Alice is not listed yet
        line(bob_ + " 0.5 0");
        until(250);
    }
    EXPECT_EQ(last(kAlice, 0), 0.0f);

    // Appears: fades in over the gain's glide, not in one block.
    size_t from = frames(kAlice);
    line(alice_ + " 1 0, " + bob_ + " 0.5 0");
    until(100);
    EXPECT_NEAR(last(kAlice, 0), 0.45f * c_, 0.005f) << "90 ms into the fade-in";
    until(220);
    EXPECT_LE(steepest(kAlice, from, kFrames), c_ / 20 * 1.1f);
    EXPECT_TRUE(steady_at(c_, c_));
    until(250);

    // A change halfway through a glide starts the next glide from there:
    // no jump, and nothing beyond either end.
    from = frames(kAlice);
    line(alice_ + " 0 0");
    until(100);
    EXPECT_NEAR(last(kAlice, 0), 0.55f * c_, 0.005f);
    line(alice_ + " 1 1");  // back up, and to the right
    until(250);
    // The factors follow the pan law, steep near a side; the gain and the
    // pan themselves move in straight lines.
    const auto moved = steepest_level(kAlice, from, kFrames);
    EXPECT_LE(moved.first, 1.0f / 20 * 1.1f);  // down from 1, then up from 0.5
    EXPECT_LE(moved.second, 1.0f / 23.75f * 1.1f);
    for (size_t f = from; f < frames(kAlice); ++f) {
        ASSERT_LE(heard(kAlice)[2 * f], c_ + 1e-6f) << "beyond either end, frame " << f;
        ASSERT_LE(heard(kAlice)[2 * f + 1], 1.0f + 1e-6f);
    }
    EXPECT_TRUE(steady_at(0.0f, 1.0f));
    until(400);

    // Dropped from the update: fades out over the gain's glide.
    from = frames(kAlice);
    line(bob_ + " 0.5 0");
    until(100);
    EXPECT_NEAR(last(kAlice, 1), 0.55f, 0.005f);
    until(220);
    EXPECT_LE(steepest(kAlice, from, kFrames), 1.0f / 20 * 1.1f);
    EXPECT_TRUE(steady_at(0.0f, 0.0f));
    until(250);

    // Silent through a whole glide: heard again at the level it reached,
    // after one block's ramp from where the speaker's last block ended.
    line(alice_ + " 1 -1");
    until(220);
    ASSERT_TRUE(steady_at(1.0f, 0.0f));
    until(250);
    line(alice_ + " 0.25 -1");
    advance(600000);  // not a block from Alice meanwhile
    play(kAlice);
    EXPECT_EQ(last(kAlice, 0), 0.25f) << "the glide went on in time";
    EXPECT_TRUE(steady_at(0.25f, 0.0f));
    until(750);

    // The link is lost: everyone fades out over the glide of the
    // connection that ended, however long the reconnect takes.
    line(alice_ + " 1 -1");
    until(220);
    ASSERT_TRUE(steady_at(1.0f, 0.0f));
    until(250);
    from = frames(kAlice);
    line_at_ = now_;
    const int before = server.connections();
    server.close_client();
    ASSERT_TRUE(eventually([&] { return server.connections() > before; }));
    until(100);
    EXPECT_NEAR(last(kAlice, 0), 0.55f, 0.005f);
    until(220);
    EXPECT_LE(steepest(kAlice, from, kFrames), 1.0f / 20 * 1.1f);
    EXPECT_TRUE(steady_at(0.0f, 0.0f));
}

// A server that stalls 5 s and then sends 20 lines in one burst: the
// burst's lines count as one arrival and the pause as one long interval,
// so the glide keeps the pace of the lines before, and the level moves
// from where it stood to the burst's last value without a jump.
TEST_F(LevelChanges, AnIrregularServerGlidesAtItsUsualPace) {
    start();
    for (int i = 0; i < 5; ++i) {
        line(alice_ + " 0.2 0");
        until(250);
    }
    until(5000);
    std::string burst;
    for (int i = 1; i <= 20; ++i) burst += "UPDATE2 " + alice_ + " " + number(0.2 + 0.04 * i) + " 0\n";
    const size_t from = frames(kAlice);
    send(burst);
    line_at_ = now_;
    until(100);
    EXPECT_NEAR(last(kAlice, 0), 0.56f * c_, 0.005f) << "90 ms into a 200 ms glide";
    until(220);
    EXPECT_LE(steepest(kAlice, from, kFrames), 0.8f * c_ / 20 * 1.1f);
    EXPECT_TRUE(steady_at(c_, c_));
}
}  // namespace
