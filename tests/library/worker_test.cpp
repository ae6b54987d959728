// The falloff worker end to end: the built library with a fake host against
// the reference falloff server over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "tests/support/falloff_fixture.h"

namespace pt = test_os;
using Clock = std::chrono::steady_clock;

namespace {
long ms_since(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}
}  // namespace

using Worker = FalloffFixture;

TEST_F(Worker, GreetsByteExactAndSaysSoInTheHostLog) {
    connect_and_greet();
    ASSERT_EQ(server.hellos().size(), 1u);
    EXPECT_EQ(server.hellos()[0],
              std::string("HELLO k3y ") + kLocalHash +
                  " {\"version\":\"1.0\",\"client\":\"tolvanrix\",\"build\":\"0.1.0-alpha\",\"features\":[\"spatial\"]}");
    std::string line = "[quorra_link] connected to falloff 127.0.0.1:" + std::to_string(server.port());
    EXPECT_TRUE(eventually([&] { return FakeHost::get().has_log_line(line); })) << line;
    EXPECT_TRUE(log_has("falloff_connect_attempt host=127.0.0.1 port=" + std::to_string(server.port())));
}

TEST_F(Worker, UpdatesScaleListedSpeakersAndSilenceTheRest) {
    connect_and_greet();
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));  // nothing received yet
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.5 -1"));
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.5f, 0.0f); }));
    EXPECT_TRUE(hears(kBob, 0.0f, 0.0f));
    // The case of the hash does not matter, and each line replaces the table.
    ASSERT_TRUE(server.send_line("UPDATE2 BBBB000000000000000000000000000000000002 1 0"));
    EXPECT_TRUE(eventually([&] { return hears(kBob, 0.70710677f, 0.70710677f); }));
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    EXPECT_TRUE(eventually([&] { return log_has("received UPDATE2 with 1 speakers"); }));
}

namespace {
// The updates that the log's "received" entries count: a plain entry is
// one, an entry with " (xN)" N more.
size_t updates_logged(const std::string& log, const std::string& entry, size_t* entries = nullptr) {
    size_t n = 0, e = 0;
    for (size_t at = log.find(entry); at != std::string::npos; at = log.find(entry, at + 1), ++e) {
        const size_t end = log.find("\r\n", at), count = at + entry.size();
        n += end == count ? 1 : std::stoul(log.substr(count + 3));  // " (x" N ")"
    }
    if (entries) *entries = e;
    return n;
}
constexpr char kEntry[] = "received UPDATE2 with 1 speakers";
}  // namespace

// The log tells a run of the same "received" entry in summary, and its
// last count when the connection ends, so every update is still counted;
// the next connection's first update begins a run of its own, written at
// once.
TEST_F(Worker, RepeatedUpdatesAreLoggedAsCountedRuns) {
    connect_and_greet();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.5 0"));
    ASSERT_TRUE(eventually([&] { return log_has(kEntry); }));
    server.close_client();
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.5 0"));
    EXPECT_TRUE(eventually([&] { return log_count(std::string(kEntry) + "\r\n") == 2; })) << log_file();
    size_t entries = 0;
    EXPECT_EQ(updates_logged(log_file(), kEntry, &entries), 51u) << log_file();
    EXPECT_LT(entries, 10u) << log_file();  // the first, then one count a second at most
}

// A stop ends the connection without a word of its own: the run's count is
// written all the same.
TEST_F(Worker, AStopWritesTheRunsLastCount) {
    connect_and_greet();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.5 0"));
    ASSERT_TRUE(server.send_line("PING"));  // answered once the 50 updates are taken
    ASSERT_TRUE(eventually([&] {
        for (const auto& l : server.lines())
            if (l == "OK") return true;
        return false;
    }));
    lib.onServerDisconnected(0);
    EXPECT_EQ(updates_logged(log_file(), kEntry), 50u) << log_file();
}

TEST_F(Worker, AnswersServerPingAndSendsItsOwnOnTheTimer) {
    lib.test_timing()->ping_interval_ms = 300;
    connect_and_greet();
    ASSERT_TRUE(server.send_line("PING"));
    ASSERT_TRUE(server.send_line("ping"));
    // The reference server records every line it receives: the plug-in's
    // answer "OK" and, on the timer, "PING".
    EXPECT_TRUE(eventually([&] {
        int ok = 0;
        for (const auto& l : server.lines()) ok += l == "OK";
        return ok == 1;
    }));
    EXPECT_TRUE(eventually([&] { return server.pings_received() >= 2; }));
    for (const auto& l : server.lines()) EXPECT_TRUE(l == "OK" || l == "PING") << l;
}

TEST_F(Worker, TimersSurviveTheTickCounterWrapping) {
    WorkerTiming* t = lib.test_timing();
    t->ping_interval_ms = 200;
    t->refresh_interval_ms = 100;
    // The counter wraps past 2^32 about 300 ms after the greeting.
    t->tick_offset = 0u - lib.test_now_ms() - 300u;
    connect_and_greet();
    ASSERT_TRUE(eventually([&] { return server.pings_received() >= 1; }));
    ASSERT_TRUE(eventually([&] { return server.pings_received() >= 6; }, 5000));  // past the wrap
    // A user who joined without a host event is found by the worker's
    // periodic refresh, also after the wrap.
    const char kCarolHash[] = "cccc000000000000000000000000000000000003";
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kCarolHash + " 1 0"));
    ASSERT_TRUE(eventually([&] { return log_has("received UPDATE2 with 1 speakers"); }));
    EXPECT_TRUE(hears(4, 0.0f, 0.0f));
    FakeHost::get().add_user({4, kCarolHash});
    EXPECT_TRUE(eventually([&] { return hears(4, 0.70710677f, 0.70710677f); }));
}

TEST_F(Worker, ServerCloseEmptiesTheTableThenReconnectsAfterThePause) {
    connect_and_greet();
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 1 -1"));
    ASSERT_TRUE(eventually([&] { return hears(kAlice, 1.0f, 0.0f); }));
    server.close_client();
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.0f, 0.0f); }));
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
    EXPECT_TRUE(log_has("falloff_disconnected wsa=0\r\n"));  // a plain close
}

TEST_F(Worker, DisconnectSilencesAndShutdownLeavesNoThread) {
    connect_and_greet();
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 1 0"));
    ASSERT_TRUE(eventually([&] { return hears(kAlice, 0.70710677f, 0.70710677f); }));
    lib.onServerDisconnected(0);
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    EXPECT_FALSE(lib.test_worker_alive());
    EXPECT_TRUE(eventually([&] { return !server.client_connected(); }));
    synchronise(1);
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
    shutdown();
    EXPECT_FALSE(lib.test_worker_alive());
}

TEST_F(Worker, StaysAwayWhileTheGateIsClosed) {
    // No ClientId (no host table: it stays registered once given, so this
    // case comes first), enabled off, and an empty key each keep the worker
    // from connecting and from writing anything.
    struct Case {
        std::string extra, key;
        bool api;
    } cases[] = {{"", "k3y", false}, {"enabled=0\n", "k3y", true}, {"", "", true}};
    for (const Case& c : cases) {
        write_ini(c.extra, c.key);
        enable(c.api);
        synchronise();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three reconnect pauses
        EXPECT_EQ(server.connections(), 0);
        EXPECT_FALSE(log_has("falloff_"));
        shutdown();
    }
}

TEST_F(Worker, ReportsRefusedAndUnresolvableServers) {
    write_ini("server_host=127.0.0.1\n");
    pt::env_set("QUORRA_LINK_PORT", std::to_string(pt::unused_port()).c_str());
    enable();
    synchronise();
    EXPECT_TRUE(eventually([&] { return log_has("falloff_connect_fail host=127.0.0.1 port="); }));
    shutdown();
    pt::env_set("QUORRA_LINK_PORT", nullptr);

    // A name that the resolver refuses without asking any name server.
    write_ini("server_host=bad..host\n");
    enable();
    synchronise();
    std::string port = std::to_string(server.port());
    EXPECT_TRUE(eventually([&] {
        std::string log = log_file();
        size_t a = log.find("falloff resolve failed host=bad..host port=" + port);
        size_t b = log.find("falloff_connect_fail host=bad..host port=" + port);
        return a != std::string::npos && b != std::string::npos && a < b;
    }));
}

TEST_F(Worker, RefusedGreetingsAreLoggedAndRetried) {
    struct Case {
        HelloReply reply;
        std::string logged;
    } cases[] = {{HelloReply::error_line, "falloff_hello_rejected reply=ERR refused"},
                 {HelloReply::silent, "falloff_hello_rejected reply=\r\n"},
                 {HelloReply::close, "falloff_hello_rejected reply=\r\n"},
                 {HelloReply::ping_first, "falloff_hello_rejected reply=PING"}};
    write_ini();
    for (const Case& c : cases) {
        pt::remove_tree(dir.file("quorra_link.log"));
        server.set_hello_reply(c.reply);
        enable();
        synchronise();
        EXPECT_TRUE(eventually([&] { return log_has(c.logged); })) << c.logged;
        EXPECT_TRUE(eventually([&] { return server.connections() >= 2; }));  // tried again
        EXPECT_FALSE(log_has("connected to falloff"));
        shutdown();
        server.stop();
        ASSERT_TRUE(server.start(server.port()));
    }
}

// What the server's operator sees of a refused client: the connection
// closed as soon as the refusal is read, and the next attempt one whole
// reconnect pause after that close.
TEST_F(Worker, ARefusedClientClosesAtOnceAndComesBackAFullPauseLater) {
    lib.test_timing()->reconnect_unit_ms = 200;  // reconnect_sec=2 -> 400 ms
    server.set_hello_reply(HelloReply::error_line);
    write_ini();
    enable();
    synchronise();
    ASSERT_TRUE(server.wait_until([&] { return server.connections() >= 2; }, 3000));
    auto t = server.timeline();
    ASSERT_NE(t[0].peer_closed, ClientTimes{}.peer_closed) << "the server never saw the close";
    EXPECT_LT(t[0].peer_closed - t[0].accepted, std::chrono::milliseconds(150));
    EXPECT_GE(t[1].accepted - t[0].peer_closed, std::chrono::milliseconds(380));
}

// A line and the server's close that arrive while the worker is busy
// elsewhere (here in its directory refresh) leave nothing behind that makes
// the next connect look made before it is: a connect to a listener whose
// queue is full stays a connect in progress.
TEST_F(Worker, AConnectCountsAsMadeOnlyOnceItIsMade) {
    lib.test_timing()->reconnect_unit_ms = 150;  // 300 ms pause
    lib.test_timing()->refresh_interval_ms = 50;  // after the first receive time-out
    server.stop();
    ASSERT_TRUE(server.start(0, 0));  // a queue of one place
    HostMainThread main(2000);
    FakeHost::get().set_main_thread(&main);
    main.run([&] {
        write_ini();
        enable();
        synchronise();
    });
    // The worker's first periodic refresh comes after a wait for data that
    // timed out (the session's check of the connection came before HELLO).
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }));
    main.trap(ApiCall::all_users, [&] {
        server.set_accepting(false);
        server.send_line(std::string("UPDATE2 ") + kAliceHash + " 1 0");
        server.close_client();
        server.wait_until([&] { return !server.client_connected(); }, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the close reaches the worker
    });
    ASSERT_TRUE(eventually([&] { return log_has("falloff_disconnected"); }));
    pt::Sock filler = pt::connect_loopback(server.port());  // fills the one-place queue
    ASSERT_NE(filler, pt::kBad);
    ASSERT_TRUE(eventually([&] { return log_count("falloff_connect_attempt") == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // past the 500 ms send time-out
    EXPECT_FALSE(log_has("falloff_hello_send_fail"));
    EXPECT_FALSE(log_has("falloff_connect_fail"));
    EXPECT_EQ(log_count("connected to falloff"), 1u);
    auto t0 = Clock::now();
    main.run([&] { shutdown(); });
    EXPECT_LT(ms_since(t0), 500);
    pt::close_sock(filler);
}

// A reconnect_sec whose milliseconds do not fit 32 bits gives the longest
// pause there is, not a pause of nothing: one attempt, then quiet.
TEST_F(Worker, AHugeReconnectPauseIsNotAConnectionStorm) {
    lib.test_timing()->reconnect_unit_ms = 1000;  // seconds, as in the plug-in
    write_ini("reconnect_sec=536870912\n");       // 2^29 s: 0 ms when counted in 32 bits
    pt::env_set("QUORRA_LINK_PORT", std::to_string(pt::unused_port()).c_str());
    enable();
    synchronise();
    ASSERT_TRUE(eventually([&] { return log_has("falloff_connect_fail"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log_count("falloff_connect_attempt"), 1u);
    auto t0 = Clock::now();
    shutdown();
    EXPECT_LT(ms_since(t0), 500);
    pt::env_set("QUORRA_LINK_PORT", nullptr);
}
