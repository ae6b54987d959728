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
                                             "; voices stay silent, retrying every 2 s; check server_host and "
                                             "server_port in quorra_link.ini, or whether the server is up"));
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
                                             "silent, retrying every 2 s; check api_key in quorra_link.ini, then "
                                             "untick and tick the plug-in"));

    // The same server falls silent: a change, told as such.
    server.set_hello_reply(HelloReply::silent);
    ASSERT_TRUE(eventually([&] { return host_lines_with("did not answer within 5 s") == 1; }));
    const int seen = server.connections();
    ASSERT_TRUE(eventually([&] { return server.connections() >= seen + 2; }));
    EXPECT_EQ(host_lines_with("did not answer"), 1u);
    EXPECT_EQ(host_lines_with("refused"), 1u);
}

// A server that accepts and drops the link over and over: "connected" is
// limited like every other line, the flapping is summarised with its count,
// and the latest state (refused, here) shows once the limit lets it.
TEST_F(LinkLines, AFlappingServerIsSummarisedAndTheLatestStateShows) {
    using Clock = std::chrono::steady_clock;
    constexpr uint32_t kWindowMs = 1500;  // after the burst, a line every 500 ms at most
    constexpr int kCycles = 8;
    lib.test_timing()->notice_window_ms = kWindowMs;
    lib.test_timing()->reconnect_unit_ms = 10;  // 20 ms pauses
    std::mutex m;
    std::vector<std::string> told;  // the link's lines, in order
    FakeHost::get().set_log_sink([&](const std::string& l) {
        std::lock_guard<std::mutex> g(m);
        for (const char* s : {"connected to falloff", " broke;", "keeps breaking", "refused the link"})
            if (l.find(s) != std::string::npos) told.push_back(l);
    });
    auto last_told = [&] {
        std::lock_guard<std::mutex> g(m);
        return told.empty() ? std::string() : told.back();
    };
    write_ini();
    const auto t0 = Clock::now();
    start_session();
    for (int i = 1; i <= kCycles; ++i) {
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == i && server.client_connected(); }));
        if (i == kCycles) server.set_hello_reply(HelloReply::error_line);  // refused from now on
        server.close_client();
    }
    ASSERT_TRUE(eventually([&] { return last_told().find("refused the link: ERR refused") != std::string::npos; }, 5000));
    shutdown();  // no line comes after this
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    FakeHost::get().set_log_sink(nullptr);

    size_t connected = 0, flapping = 0;
    for (const auto& l : told) {
        connected += l.find("connected to falloff") != std::string::npos;
        if (l.find("keeps breaking") == std::string::npos) continue;
        ++flapping;
        const std::string head = "[quorra_link] the link to the falloff server at " + where() + " keeps breaking: ";
        ASSERT_EQ(l.rfind(head, 0), 0u) << l;
        const size_t n = std::stoul(l.substr(head.size()));
        EXPECT_GE(n, static_cast<size_t>(LinkNotices::kFlapBreaks)) << l;
        EXPECT_LE(n, static_cast<size_t>(kCycles)) << l;
        EXPECT_EQ(l.substr(l.find(" times")),
                  " times in the last minute; voices cut in and out; if it goes on, tell the server's operator");
    }
    EXPECT_LT(connected, static_cast<size_t>(kCycles));
    EXPECT_EQ(flapping, 1u);
    // Never more than the burst and one line a spacing.
    EXPECT_LE(told.size(), LinkNotices::kBurst + static_cast<size_t>(took) / (kWindowMs / LinkNotices::kBurst) + 1);
}

// The ini or the environment may put any byte into the server's name: the
// log window and the file get its control bytes escaped.
TEST_F(LinkLines, TheServersNameIsShownWithItsControlBytesEscaped) {
    write_ini();
    // A name that the resolver refuses without asking any name server.
    pt::env_set("QUORRA_LINK_HOST", "bad..\x1b]0;x\x07host");
    start_session();
    const std::string shown = "bad..\\x1B]0;x\\x07host", port = std::to_string(server.port());
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] loaded version=0.1.0 config=" + dir.file("quorra_link.ini") +
                                             " host=" + shown + " port=" + port + " enabled=1"));
    EXPECT_TRUE(eventually([&] { return host_lines_with("cannot reach the falloff server at " + shown + ":" + port) == 1; }));
    EXPECT_TRUE(log_has("falloff_connect_attempt host=" + shown + " port=" + port));
    EXPECT_EQ(log_file().find('\x1b'), std::string::npos);
    pt::env_set("QUORRA_LINK_HOST", nullptr);
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
