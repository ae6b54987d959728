// A stop that cannot wait for the worker: the worker sits in a host call
// that outlasts the stop's bounded wait. The host thread gets back at once;
// the worker, once it returns, touches nothing of ours, a later start takes
// it back instead of starting a second one, and unloading the library does
// not pull the code out from under it.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/falloff_fixture.h"

namespace pt = test_os;
using Clock = std::chrono::steady_clock;

namespace {
class Abandon : public FalloffFixture {
protected:
    // Connected, then every host call takes delay_ms; returns once the
    // worker is inside one (its periodic directory refresh).
    void connect_then_slow_host(uint32_t delay_ms) {
        WorkerTiming* t = lib.test_timing();
        t->refresh_interval_ms = 20;
        t->receive_timeout_ms = 20;
        t->stop_wait_ms = 100;
        connect_and_greet();
        FakeHost::get().set_call_delay_ms(delay_ms);
        ASSERT_TRUE(eventually([] { return FakeHost::get().calls_in_progress() > 0; }));
    }
    long time_ms(const std::function<void()>& fn) {
        auto t0 = Clock::now();
        fn();
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    }
};
}  // namespace

TEST_F(Abandon, ALaterStartTakesTheSameWorkerBack) {
    connect_then_slow_host(600);
    EXPECT_LT(time_ms([&] { lib.onServerDisconnected(0); }), 500);
    EXPECT_TRUE(lib.test_worker_alive());  // still in the host call
    FakeHost::get().set_call_delay_ms(0);  // calls from now on are quick

    const int threads = pt::thread_count();
    synchronise(1);  // must not start a second worker beside the first
    EXPECT_EQ(pt::thread_count(), threads);
    // The same worker goes on: it reconnects and serves updates.
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
    EXPECT_EQ(server.connections(), 2);
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 1 1"));
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.0f, 1.0f); }));
}

TEST_F(Abandon, AnAbandonedWorkerLeavesSharedStateAloneAndOutlivesTheUnload) {
    connect_then_slow_host(300);
    EXPECT_LT(time_ms([&] { shutdown(); }), 250);
    std::string log_at_shutdown = log_file();
    size_t host_lines = FakeHost::get().log_lines().size();
    ASSERT_TRUE(lib.test_worker_alive());
    lib.unload();  // the host unloads right after shutdown
    // The worker returns from the host call into code that must still be
    // mapped, gives up, and leaves without a trace.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(log_file(), log_at_shutdown);
    EXPECT_EQ(FakeHost::get().log_lines().size(), host_lines);
    EXPECT_EQ(FakeHost::get().calls_in_progress(), 0);
}

// A worker taken back has no thread handle: its stop polls for it. Each
// poll's sleep may last a whole timer tick (15.6 ms on Windows); the stop
// still keeps its bound.
TEST_F(Abandon, TheStopOfATakenBackWorkerKeepsItsBoundWhenSleepsAreCoarse) {
    connect_then_slow_host(900);
    lib.onServerDisconnected(0);           // gives up on the worker
    FakeHost::get().set_call_delay_ms(0);
    synchronise(1);                        // takes it back; it is still in the host call
    pt::coarse_sleeps_for_this_thread(16);
    const long took = time_ms([&] { lib.onServerDisconnected(0); });
    pt::coarse_sleeps_for_this_thread(0);
    EXPECT_LT(took, 350);  // the bound is 100 ms here
    EXPECT_TRUE(eventually([&] { return !lib.test_worker_alive(); }));  // out of the fake host
}

// A stop that gives up on a worker in a slow name resolution, then a start
// that takes it back: the worker drops the old session's attempt (here a
// connect that would never complete) and begins the new session's at once.
TEST_F(Abandon, ATakenBackWorkerDropsTheOldSessionsAttempt) {
    pt::FullListener never;
    ASSERT_TRUE(never.open());
    WorkerTiming* t = lib.test_timing();
    t->stop_wait_ms = 100;
    t->resolve_delay_ms = 400;
    ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"),
                               "api_key=k3y\nreconnect_sec=2\nserver_port=" + std::to_string(never.port) + "\n"));
    enable();
    synchronise();
    ASSERT_TRUE(eventually([&] { return log_has("falloff_connect_attempt"); }));
    shutdown();  // gives up on the worker in its resolution
    ASSERT_TRUE(lib.test_worker_alive());
    write_ini();  // the new session's server answers
    enable();
    synchronise();  // takes the worker back
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }, 2000));
}

// The old session's attempt ends after the take-back (its name does not
// resolve): the player reads nothing of that session's host and port, only
// the new session's lines.
TEST_F(Abandon, ATakenBackWorkerSaysNothingOfTheOldSessionsServer) {
    WorkerTiming* t = lib.test_timing();
    t->stop_wait_ms = 100;
    t->resolve_delay_ms = 400;
    // A name that the resolver refuses without asking any name server.
    write_ini("server_host=bad..host\n");
    enable();
    synchronise();
    ASSERT_TRUE(eventually([&] { return log_has("falloff_connect_attempt host=bad..host"); }));
    shutdown();  // gives up on the worker in its resolution
    ASSERT_TRUE(lib.test_worker_alive());
    const size_t before = FakeHost::get().log_lines().size();
    write_ini();
    enable();
    synchronise();  // takes the worker back; its old attempt fails meanwhile
    // The new session's attempt comes after the old one has ended.
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }, 2000));
    const auto lines = FakeHost::get().log_lines();
    for (size_t i = before; i < lines.size(); ++i) EXPECT_EQ(lines[i].find("bad..host"), std::string::npos) << lines[i];
    EXPECT_FALSE(log_has("falloff resolve failed"));
}
