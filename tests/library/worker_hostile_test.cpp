// Servers that misbehave: whatever they send, the plug-in keeps running,
// keeps its table sane and never hands NaN samples back to the host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>

#include "falloff_fixture.h"

namespace {
class Hostile : public FalloffFixture {
protected:
    // Every speaker's factors are finite and in range, whatever happened.
    void expect_sane_audio() {
        for (uint32_t user : {1u, kAlice, kBob, 99u}) {
            auto f = factors(user);
            EXPECT_TRUE(std::isfinite(f.first) && std::isfinite(f.second)) << user;
            EXPECT_TRUE(f.first >= 0.0f && f.first <= 1.0f && f.second >= 0.0f && f.second <= 1.0f) << user;
        }
    }
    // The connection still works: a fresh update takes effect.
    void expect_still_serving() {
        ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kBobHash + " 0.25 1"));
        EXPECT_TRUE(eventually([&] { return hears(kBob, 0.0f, 0.25f); }));
    }
};
}  // namespace

TEST_F(Hostile, RandomBytesThenAValidUpdate) {
    connect_and_greet();
    std::mt19937 rng(1234);
    std::string junk(256 * 1024, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    ASSERT_TRUE(server.send(junk));
    ASSERT_TRUE(server.send("\n"));
    expect_sane_audio();
    expect_still_serving();
    for (const auto& l : server.lines()) EXPECT_EQ(l, "OK");  // only answers to PING
}

TEST_F(Hostile, AMegabyteLineIsReadAsCutLines) {
    connect_and_greet();
    std::string line = "UPDATE2 ";
    while (line.size() < (1u << 20)) line += "h" + std::to_string(line.size()) + " 0.5 0.5,";
    ASSERT_TRUE(server.send_line(line));
    EXPECT_TRUE(eventually([&] { return log_has("received UPDATE2 with"); }));
    expect_sane_audio();
    expect_still_serving();
}

TEST_F(Hostile, ByteByByteWithGapsLongerThanTheReceiveTimeout) {
    lib.test_timing()->receive_timeout_ms = 20;
    connect_and_greet();
    std::string update = std::string("UPDATE2 ") + kAliceHash + " 1 0\n";
    for (char c : update.substr(0, 12)) {
        ASSERT_TRUE(server.send(std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Each pause cut the line: the pieces were handled as lines of their own.
    expect_sane_audio();
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    expect_still_serving();
}

TEST_F(Hostile, TenThousandUpdatesASecondEndWithTheLastOne) {
    connect_and_greet();
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        while (!stop) expect_sane_audio();
    });
    for (int i = 0; i < 10000; ++i) {
        std::string g = std::to_string((i % 100) / 100.0);
        ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " " + g + " -1, " + kBobHash + " 1 1"));
    }
    // 0.875 is a gain the stream above never sends.
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.875 -1"));
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.875f, 0.0f); }, 10000));
    stop = true;
    audio.join();
    EXPECT_TRUE(hears(kBob, 0.0f, 0.0f));
}

TEST_F(Hostile, CloseInTheMiddleOfALine) {
    connect_and_greet();
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 1 0"));
    ASSERT_TRUE(eventually([&] { return hears(kAlice, 0.70710677f, 0.70710677f); }));
    ASSERT_TRUE(server.send(std::string("UPDATE2 ") + kBobHash + " 1"));
    server.close_client();
    // The half line is not an update; the ended connection empties the table.
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.0f, 0.0f); }));
    EXPECT_TRUE(hears(kBob, 0.0f, 0.0f));
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
}

TEST_F(Hostile, NotANumberNeverReachesTheSamples) {
    connect_and_greet();
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " nan 0, " + kBobHash + " 0.5 NaN"));
    EXPECT_TRUE(eventually([&] { return log_has("received UPDATE2 with 0 speakers"); }));
    expect_sane_audio();
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " inf -inf"));
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 1.0f, 0.0f); }));
}
