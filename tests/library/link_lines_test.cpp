// What the player reads in the log window about the falloff link: one line
// per change of its state, never one per attempt, at most a few a minute.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "falloff/link_notices.h"
#include "tests/support/falloff_fixture.h"

namespace pt = test_os;

namespace {
size_t host_lines_with(const std::string& text) {
    size_t n = 0;
    for (const auto& l : FakeHost::get().log_lines()) n += l.find(text) != std::string::npos;
    return n;
}
}  // namespace

class LinkLines : public FalloffFixture {
protected:
    std::string where() { return "127.0.0.1:" + std::to_string(server.port()); }
    void start_session() {
        enable();
        synchronise();
    }
};

TEST_F(LinkLines, AnUnreachableServerIsToldOnceOverManyAttempts) {
    write_ini();
    const std::string port = std::to_string(pt::unused_port());
    pt::env_set("QUORRA_LINK_PORT", port.c_str());
    start_session();
    ASSERT_TRUE(eventually([&] { return log_count("falloff_connect_attempt") >= 6; }));
    EXPECT_EQ(host_lines_with("cannot reach"), 1u);
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] cannot reach the falloff server at 127.0.0.1:" + port +
                                             "; voices stay silent, retrying every 2 s"));
    pt::env_set("QUORRA_LINK_PORT", nullptr);
}

TEST_F(LinkLines, ARefusalShowsTheServersReplyEscapedAndSilenceIsNotARefusal) {
    write_ini();
    server.set_hello_reply(HelloReply::error_line);
    server.set_refusal("ERR bad key \x1b[31m\x07\\");
    start_session();
    ASSERT_TRUE(eventually([&] { return server.connections() >= 4; }));
    EXPECT_EQ(host_lines_with("refused the link"), 1u);
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] the falloff server at " + where() +
                                             " refused the link: ERR bad key \\x1B[31m\\x07\\x5C; voices stay "
                                             "silent, retrying every 2 s"));

    // The same server falls silent: a change, told as such.
    server.set_hello_reply(HelloReply::silent);
    ASSERT_TRUE(eventually([&] { return host_lines_with("did not answer within 5 s") == 1; }));
    const int seen = server.connections();
    ASSERT_TRUE(eventually([&] { return server.connections() >= seen + 2; }));
    EXPECT_EQ(host_lines_with("did not answer"), 1u);
    EXPECT_EQ(host_lines_with("refused"), 1u);
}

// A server that accepts and drops the link over and over: the existing
// "connected" line each time, the breaks never more than the limit allows,
// and the latest state (refused, here) still shows once the limit lets it.
TEST_F(LinkLines, AFlappingServerNeverFloodsTheWindowAndTheLatestStateShows) {
    using Clock = std::chrono::steady_clock;
    constexpr uint32_t kWindowMs = 1500;
    lib.test_timing()->notice_window_ms = kWindowMs;
    lib.test_timing()->reconnect_unit_ms = 10;  // 20 ms pauses
    std::mutex m;
    std::vector<std::pair<Clock::time_point, std::string>> seen;
    FakeHost::get().set_log_sink([&](const std::string& l) {
        std::lock_guard<std::mutex> g(m);
        seen.emplace_back(Clock::now(), l);
    });
    write_ini();
    start_session();
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == i && server.client_connected(); }));
        if (i == 5) server.set_hello_reply(HelloReply::error_line);  // refused from now on
        server.close_client();
    }
    ASSERT_TRUE(eventually([&] { return host_lines_with("refused the link: ERR refused") == 1; }, 5000));
    EXPECT_EQ(host_lines_with("connected to falloff"), 5u);
    shutdown();  // no line comes after this
    FakeHost::get().set_log_sink(nullptr);
    std::vector<Clock::time_point> told;  // the limited lines, in order
    for (const auto& [at, line] : seen)
        if (line.find(" broke;") != std::string::npos || line.find("refused the link") != std::string::npos)
            told.push_back(at);
    ASSERT_EQ(told.size(), static_cast<size_t>(LinkNotices::kPerWindow) + 1);
    EXPECT_GE(told.back() - told.front(), std::chrono::milliseconds(kWindowMs - 20));
}

TEST_F(LinkLines, ASessionWithoutKeyOrWithProximityVoiceOffSaysSoAtSynchronisation) {
    write_ini("", "");
    start_session();
    EXPECT_TRUE(FakeHost::get().has_log_line(
        "[quorra_link] proximity voice is off: no api_key is set in quorra_link.ini; every voice stays silent"));
    shutdown();
    write_ini("enabled=0\n");
    start_session();
    EXPECT_TRUE(FakeHost::get().has_log_line(
        "[quorra_link] proximity voice is off: enabled is off in quorra_link.ini; every voice plays unchanged"));
}
