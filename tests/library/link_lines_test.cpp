// What the player reads in the log window about the falloff link: one line
// per change of its state, never one per attempt, at most a few a minute.
#include <gtest/gtest.h>

#include <string>

#include "falloff/link_notices.h"
#include "falloff_fixture.h"

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
// and the latest state still shows once the limit lets it.
TEST_F(LinkLines, AFlappingServerNeverFloodsTheWindowAndTheLatestStateShows) {
    write_ini();
    start_session();
    for (int i = 1; i <= 6; ++i) {
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == i && server.client_connected(); }));
        if (i == 6) server.set_hello_reply(HelloReply::error_line);  // refused from now on
        server.close_client();
    }
    ASSERT_TRUE(eventually([&] { return host_lines_with("connected to falloff") >= 6; }));
    EXPECT_EQ(host_lines_with("the link to the falloff server at " + where() + " broke"),
              static_cast<size_t>(LinkNotices::kPerWindow));

    // Refused now, while the limit holds the line back; a shorter window
    // lets it through.
    ASSERT_TRUE(eventually([&] { return server.connections() >= 9; }));
    EXPECT_EQ(host_lines_with("refused the link"), 0u);
    lib.test_timing()->notice_window_ms = 100;
    EXPECT_TRUE(eventually([&] { return host_lines_with("refused the link: ERR refused") == 1; }));
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
