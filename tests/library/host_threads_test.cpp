// The host's threads as Mumble has them: onServerDisconnected comes on the
// connection's own thread, everything else of the life-cycle on the main
// thread, and an API call from any thread but the main one is served by the
// main thread within 800 ms or fails with error 19.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "falloff_fixture.h"

using Clock = std::chrono::steady_clock;
using HostThreads = FalloffFixture;

TEST_F(HostThreads, ServerEventsOutsideInitAndShutdownDoNothing) {
    lib.onServerSynchronized(0);
    lib.onServerDisconnected(0);
    lib.onUserAdded(0, kAlice);
    EXPECT_FALSE(lib.test_worker_alive());
    connect_and_greet();
    shutdown();
    lib.onServerSynchronized(0);
    lib.onServerDisconnected(0);
    EXPECT_FALSE(lib.test_worker_alive());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(HostThreads, DisconnectsOnTheConnectionThreadMeetEveryStepOfTheMainThread) {
    write_ini();
    std::atomic<bool> stop{false};
    std::atomic<long> disconnects{0};
    std::thread connection([&] {
        while (!stop) {
            lib.onServerDisconnected(0);
            ++disconnects;
        }
    });
    MumbleApi t = FakeHost::get().table();
    for (int cycle = 0; cycle < 300; ++cycle) {
        ASSERT_EQ(lib.enable(static_cast<uint32_t>(cycle + 1), &t), 0);
        lib.onServerSynchronized(cycle % 3);
        lib.onUserAdded(cycle % 3, kBob);
        lib.shutdown();
    }
    stop = true;
    connection.join();
    EXPECT_GT(disconnects.load(), 0);
    EXPECT_FALSE(lib.test_worker_alive());
    EXPECT_EQ(FakeHost::get().outstanding(), 0u);
}
