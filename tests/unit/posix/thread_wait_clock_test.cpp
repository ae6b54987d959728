// The stop's bounded wait for the worker thread is measured on the
// monotonic clock: a step of the wall clock during the wait (an NTP
// correction, the user setting the time) neither cuts it short nor
// stretches it. This test binary steps the wall clock it sees itself.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "common/clock.h"
#include "platform/platform.h"

namespace {
std::atomic<long> g_wall_step_s{0};
std::atomic<bool> g_release{false};

void runs_until_released(void*) {
    while (!g_release) sleep_ms(1);
}
void runs_150_ms(void*) { sleep_ms(150); }

long ms_since(std::chrono::steady_clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}
}  // namespace

// The process's view of the clocks: the wall clock stepped by the test.
extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
    long r = syscall(SYS_clock_gettime, id, ts);
    if (r == 0 && id == CLOCK_REALTIME) ts->tv_sec += g_wall_step_s.load();
    return static_cast<int>(r);
}

TEST(ThreadWait, AWallClockStepNeitherCutsNorStretchesTheWait) {
    plat::Thread t{};
    // Stepped back an hour: the wait still lasts until the thread ends.
    ASSERT_TRUE(plat::thread_start(&t, runs_150_ms, nullptr));
    g_wall_step_s = -3600;
    EXPECT_TRUE(plat::thread_wait(&t, 1000));
    g_wall_step_s = 0;
    if (t.valid) {
        ASSERT_TRUE(plat::thread_wait(&t, 5000));
    }

    // Stepped forward: the wait still ends after its own 100 ms.
    g_release = false;
    ASSERT_TRUE(plat::thread_start(&t, runs_until_released, nullptr));
    g_wall_step_s = 5;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(plat::thread_wait(&t, 100));
    EXPECT_LT(ms_since(t0), 1000);
    g_wall_step_s = 0;
    g_release = true;
    EXPECT_TRUE(plat::thread_wait(&t, 5000));
}
