// Hundreds of synchronise / disconnect / shutdown / init cycles while the
// server streams updates and another thread plays audio through the plug-in.
// Run under TSan this is the race check of the whole shell.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <shared_mutex>
#include <string>
#include <thread>

#include "tests/support/falloff_fixture.h"

using Stress = FalloffFixture;

TEST_F(Stress, LifecycleChurnWithStreamingServerAndAudio) {
    lib.test_timing()->refresh_interval_ms = 5;
    lib.test_timing()->ping_interval_ms = 7;
    std::atomic<bool> stop{false};
    // The server streams an update every millisecond to whoever is connected.
    std::thread streamer([&] {
        int i = 0;
        while (!stop) {
            server.send_line(std::string("UPDATE2 ") + kAliceHash + " " + std::to_string((i++ % 10) / 10.0) +
                             " 0.5, " + kBobHash + " 1 -1");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // The host never calls the audio path outside init..shutdown.
    std::shared_mutex enabled_span;
    std::atomic<bool> bad_sample{false};
    std::atomic<long> blocks{0};
    std::thread audio([&] {
        float block[960];
        while (!stop) {
            std::shared_lock<std::shared_mutex> held(enabled_span);
            if (!enabled_) continue;
            for (float& s : block) s = 1.0f;
            lib.onAudioSourceFetched(block, 480, 2, 48000, true, (blocks % 2) ? kAlice : kBob);
            for (float s : block)
                if (!std::isfinite(s) || s < 0.0f || s > 1.0f) bad_sample = true;
            ++blocks;
        }
    });

    write_ini();
    MumbleApi t = FakeHost::get().table();
    const int base_threads = test_os::thread_count();
    for (int cycle = 0; cycle < 200; ++cycle) {
        {
            std::unique_lock<std::shared_mutex> held(enabled_span);
            ASSERT_EQ(lib.enable(static_cast<uint32_t>(cycle + 1), &t), 0);
            enabled_ = true;
        }
        for (int round = 0; round < 3; ++round) {
            lib.onServerSynchronized(round);
            lib.onServerSynchronized(round);  // a second one must not start a second worker
            ASSERT_LE(test_os::thread_count(), base_threads + 1) << "cycle " << cycle;
            lib.onUserAdded(round, kBob);
            if (cycle % 10 == 0) eventually([&] { return server.client_connected(); }, 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 5)));
            if (round < 2) lib.onServerDisconnected(round);
        }
        {
            std::unique_lock<std::shared_mutex> held(enabled_span);
            lib.shutdown();
            enabled_ = false;
        }
        ASSERT_FALSE(lib.test_worker_alive()) << "cycle " << cycle;
    }
    stop = true;
    streamer.join();
    audio.join();
    EXPECT_FALSE(bad_sample);
    EXPECT_GT(blocks.load(), 0);
    EXPECT_EQ(FakeHost::get().outstanding(), 0u);
    EXPECT_EQ(FakeHost::get().bad_frees(), 0);
}
