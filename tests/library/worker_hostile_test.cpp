// Servers that misbehave: whatever they send, the plug-in keeps serving,
// keeps its table sane and never hands NaN samples back to the host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>

#include "tests/support/falloff_fixture.h"

namespace {
class Hostile : public FalloffFixture {
protected:
    void expect_sane_audio() {
        for (uint32_t user : {1u, kAlice, kBob, 99u}) {
            auto [l, r] = factors(user);
            EXPECT_TRUE(l >= 0.0f && l <= 1.0f && r >= 0.0f && r <= 1.0f) << user;  // false for NaN
        }
    }
    void expect_still_serving(const char* gain) {
        ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kBobHash + " " + gain + " 1"));
        EXPECT_TRUE(eventually([&] { return hears(kBob, 0.0f, std::stof(gain)); }));
    }
};
}  // namespace

TEST_F(Hostile, JunkOfEveryShapeLeavesTheConnectionServing) {
    lib.test_timing()->receive_timeout_ms = 20;
    connect_and_greet();
    std::mt19937 rng(1234);
    std::string random(256 * 1024, '\0');
    for (char& c : random) c = static_cast<char>(rng());
    ASSERT_TRUE(server.send(random + "\n"));
    expect_still_serving("0.25");

    std::string huge = "UPDATE2 ";  // a 1 MB line: cut into 8191-character lines
    while (huge.size() < (1u << 20)) huge += "h" + std::to_string(huge.size()) + " 0.5 0.5,";
    ASSERT_TRUE(server.send_line(huge));
    expect_still_serving("0.5");

    // Byte by byte with gaps longer than the receive time-out: each piece
    // is handled as a line of its own, none of which is an update.
    std::string slow = std::string("UPDATE2 ") + kAliceHash + " 1 0\n";
    for (char c : slow.substr(0, 12)) {
        ASSERT_TRUE(server.send(std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    expect_sane_audio();
    expect_still_serving("0.75");
    for (const auto& l : server.lines()) EXPECT_EQ(l, "OK");  // only answers to a PING
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

// The answer to HELLO must be whole within the receive time-out of the
// HELLO: a byte every 20 ms, well within the time-out of each receive,
// is refused after it all the same, with what came of it as the reply.
TEST_F(Hostile, ATricklingGreetingIsRefusedInTime) {
    server.set_hello_reply(HelloReply::silent);
    write_ini();
    enable();
    synchronise();
    ASSERT_TRUE(eventually([&] { return server.client_connected(); }));  // the HELLO is in
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        server.send("x");  // fails once the plug-in has closed
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        refused = log_has("falloff_hello_rejected reply=x");
    }
    EXPECT_TRUE(refused);
    EXPECT_FALSE(log_has("connected to falloff"));
    EXPECT_TRUE(eventually([&] { return server.connections() >= 2; }));  // after the reconnect pause
}

// A refusal's text reaches the log with every byte outside printable ASCII,
// and the backslash, shown as \xHH.
TEST_F(Hostile, ARefusalsBytesAreEscapedInTheLog) {
    server.set_hello_reply(HelloReply::silent);
    write_ini();
    enable();
    synchronise();
    ASSERT_TRUE(eventually([&] { return server.client_connected(); }));  // the HELLO is in
    ASSERT_TRUE(server.send("ERR \x1b[2J\a\x7f\xc3\xa9\\n\t~\n"));
    EXPECT_TRUE(eventually([&] { return log_has("falloff_hello_rejected reply="); }));
    EXPECT_TRUE(log_has("falloff_hello_rejected reply=ERR \\x1B[2J\\x07\\x7F\\xC3\\xA9\\x5Cn\\x09~\r\n")) << log_file();
}
