// The audio path over mix tables published here: the pan law, the clamps,
// the channel layouts, full-table scans, that no block allocates, and that
// a writer never holds the audio path up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <algorithm>
#include <vector>

#include "audio/gain_pan.h"
#include "common/clock.h"

// A counting operator new for the whole unit-test binary; not under the
// sanitizers, whose own allocator is in charge there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QL_COUNT_ALLOCATIONS 0
#else
#define QL_COUNT_ALLOCATIONS 1
#endif
static std::atomic<long> g_allocations{0};
#if QL_COUNT_ALLOCATIONS
// Out of line, so the compiler does not pair a free with a new in sight.
[[gnu::noinline]] static void* raw_allocate(std::size_t n) { return std::malloc(n ? n : 1); }
[[gnu::noinline]] static void raw_release(void* p) { std::free(p); }
void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = raw_allocate(n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { raw_release(p); }
void operator delete(void* p, std::size_t) noexcept { raw_release(p); }
#endif

namespace {
MixPublisher g_mix;  // static, as the plug-in's own

class AudioPath : public ::testing::Test {
protected:
    void TearDown() override { publish({}); }
    struct Row {
        uint32_t user;
        float gain, pan;
    };
    // Levels are entered as they come: the clamps and the check for values
    // that are not finite are the table's own.
    // gliding: every row glides for a second from now (on the real clock)
    // to its level, the gain from half of it and the pan from the other side.
    static void publish(const std::vector<Row>& rows, bool gliding = false) {
        static MixTable t;
        t.count = 0;
        for (const Row& r : rows) mix_add_row(&t, r.user, r.gain, r.pan);
        const uint64_t now = glide_now_us();
        for (uint32_t i = 0; gliding && i < t.count; ++i) {
            t.gain_glide[i] = Glide{0.5f * t.gain[i], t.gain[i], now, 1000000};
            t.pan_glide[i] = Glide{-t.pan[i], t.pan[i], now, 1000000};
        }
        g_mix.publish(t);
    }
    static bool apply(float* pcm, uint32_t frames, uint16_t channels, uint32_t user, bool speech = true,
                      bool enabled = true) {
        static RampMemory ramps;
        return apply_speaker_gain(g_mix, ramps, enabled, pcm, frames, channels, speech, user);
    }
};
}  // namespace

TEST_F(AudioPath, PanLawPointsInSinglePrecisionClampsAndNonFiniteSilence) {
    struct Case {
        float gain, pan, left, right, mono;
    } cases[] = {
        {1.0f, -1.0f, 1.0f, 0.0f, 1.0f},  // the pan law's table points
        {1.0f, -0.5f, 0.8660254f, 0.5f, 1.0f},
        {1.0f, 0.0f, 0.70710677f, 0.70710677f, 1.0f},
        {1.0f, 0.5f, 0.5f, 0.8660254f, 1.0f},
        {1.0f, 1.0f, 0.0f, 1.0f, 1.0f},
        {1.5f, 0.0f, 0.70710677f, 0.70710677f, 1.0f},  // gain used as 1
        {-0.2f, 0.0f, 0.0f, 0.0f, 0.0f},               // gain used as 0
        {1.0f, 3.0f, 0.0f, 1.0f, 1.0f},                // pan used as 1
        {1.0f, -7.0f, 1.0f, 0.0f, 1.0f},               // pan used as -1
        {NAN, 0.0f, 0.0f, 0.0f, 0.0f},  // a value that is not finite silences the block
        {0.5f, NAN, 0.0f, 0.0f, 0.0f},
        {INFINITY, 0.0f, 0.0f, 0.0f, 0.0f},
        {0.5f, -INFINITY, 0.0f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "gain " << c.gain << " pan " << c.pan);
        publish({{7, c.gain, c.pan}});
        float stereo[2] = {1.0f, 1.0f}, mono = 1.0f;
        ASSERT_TRUE(apply(stereo, 1, 2, 7));
        ASSERT_TRUE(apply(&mono, 1, 1, 7));
        EXPECT_EQ(stereo[0], c.left);
        EXPECT_EQ(stereo[1], c.right);
        EXPECT_EQ(mono, c.mono);
    }
}

TEST_F(AudioPath, ChannelLayoutsTheGateAndNothingBeyondTheBlock) {
    // Frame counts that take both the runs of eight samples and the tail.
    struct Case {
        uint16_t channels;
        uint32_t frames;
        float gain, pan;
        std::vector<float> per_channel;
    } cases[] = {
        {1, 21, 0.5f, -1.0f, {0.5f}},                              // the gain alone; no pan
        {2, 11, 0.5f, -1.0f, {0.5f, 0.0f}},                        // fully left
        {6, 3, 0.8f, 1.0f, {0.0f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f}},  // pan on 0 and 1, gain on the rest
    };
    uint32_t user = 70;  // each case a speaker never heard before
    for (const Case& c : cases) {
        publish({{++user, c.gain, c.pan}});
        // The first block fades in from silence, frame f at (f + 1) / n of
        // the level, the last frame at the level itself; the next holds it.
        std::vector<float> block(c.frames * c.channels + 1, 1.0f);
        ASSERT_TRUE(apply(block.data(), c.frames, c.channels, user));
        for (size_t i = 0; i + 1 < block.size(); ++i) {
            const float want = c.per_channel[i % c.channels] * static_cast<float>(i / c.channels + 1) / c.frames;
            EXPECT_NEAR(block[i], want, 1e-6f) << c.channels << " channels, fading in, sample " << i;
        }
        for (uint16_t k = 0; k < c.channels; ++k)
            EXPECT_EQ(block[(c.frames - 1) * c.channels + k], c.per_channel[k]) << c.channels << " channels";
        std::fill(block.begin(), block.end(), 1.0f);
        ASSERT_TRUE(apply(block.data(), c.frames, c.channels, user));
        for (size_t i = 0; i + 1 < block.size(); ++i)
            EXPECT_EQ(block[i], c.per_channel[i % c.channels]) << c.channels << " channels, sample " << i;
        EXPECT_EQ(block.back(), 1.0f) << c.channels << " channels: the sample after the block";
    }
    float untouched = 3.0f;  // no frames: nothing touched, still handled
    EXPECT_TRUE(apply(&untouched, 0, 2, 7));
    EXPECT_EQ(untouched, 3.0f);
    // Not ours: no speech, no channels, no buffer, or switched off.
    float block[2] = {1.0f, 1.0f};
    EXPECT_FALSE(apply(block, 1, 2, 7, false));
    EXPECT_FALSE(apply(block, 1, 0, 7));
    EXPECT_FALSE(apply(nullptr, 1, 2, 7));
    EXPECT_FALSE(apply(block, 1, 2, 7, true, false));
    EXPECT_EQ(block[0] + block[1], 2.0f);
}

TEST_F(AudioPath, FullTablesResolveEveryUserWithoutAllocating) {
    // 509 rows: not a whole number of scan runs.
    constexpr uint32_t kUsers = 509;
    auto gain = [](uint32_t i) { return static_cast<float>(i % 97 + 1) / 128.0f; };
    std::vector<Row> rows;
    for (uint32_t i = kUsers; i-- > 0;) rows.push_back({1000 + i, gain(i), 0.0f});
    publish(rows);
    for (uint32_t i = 0; i < kUsers; ++i) {
        float sample = 1.0f;
        ASSERT_TRUE(apply(&sample, 1, 1, 1000 + i));
        ASSERT_EQ(sample, gain(i)) << "user " << i;
    }

    if (!QL_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator is in charge";
    std::vector<float> block(480 * 6, 1.0f);
    long before = g_allocations.load();  // the counter sees an allocation, so a zero below means something
    int* volatile probe = new int(1);
    delete probe;
    ASSERT_EQ(g_allocations.load() - before, 1);
    before = g_allocations.load();
    for (uint16_t channels : {1, 2, 6}) {
        EXPECT_TRUE(apply(block.data(), 480, channels, 1000));  // the last row
        EXPECT_TRUE(apply(block.data(), 480, channels, 4000));  // no row
    }
    publish(rows, true);  // published outside the count: the writer's side may allocate
    before = g_allocations.load();
    for (uint16_t channels : {1, 2, 6}) EXPECT_TRUE(apply(block.data(), 480, channels, 1000));  // gliding
    EXPECT_EQ(g_allocations.load() - before, 0);
}

// A writer preempted at the worst moment of a publication, halfway through
// its copy: the audio path goes on at full speed with the old table, and
// sees the whole new one once the writer resumes.
TEST_F(AudioPath, AStalledWriterNeverHoldsTheAudioPathUp) {
    publish({{7, 1.0f, -1.0f}});
    static std::mutex m;
    static std::condition_variable cv;
    static bool stalled = false, resume = false;
    g_mix.mid_publish_seam = [] {
        std::unique_lock<std::mutex> held(m);
        stalled = true;
        cv.notify_all();
        cv.wait(held, [] { return resume; });
    };
    std::thread writer([] { publish({{6, 0.5f, 1.0f}, {7, 0.5f, 1.0f}, {8, 0.5f, 1.0f}}); });
    {
        std::unique_lock<std::mutex> held(m);
        cv.wait(held, [] { return stalled; });
    }
    for (int i = 0; i < 100000; ++i) {
        float block[2] = {1.0f, 1.0f};
        ASSERT_TRUE(apply(block, 1, 2, 7));
        ASSERT_EQ(block[0], 1.0f);  // the old table, whole
        ASSERT_EQ(block[1], 0.0f);
    }
    {
        std::lock_guard<std::mutex> held(m);
        resume = true;
        cv.notify_all();
    }
    writer.join();
    g_mix.mid_publish_seam = nullptr;
    float block[2] = {1.0f, 1.0f};
    ASSERT_TRUE(apply(block, 1, 2, 7));
    EXPECT_EQ(block[0], 0.0f);
    EXPECT_EQ(block[1], 0.5f);
}

// A reader that has found its user's row and is overtaken there by three
// publications, the third rewriting its very slot with another user in
// that row: it notices, and reads the current table again, instead of
// returning the other user's factors.
TEST_F(AudioPath, AReaderOvertakenByWritersReadsAgain) {
    publish({{1, 0.9f, 0.0f}});
    static std::mutex m;
    static std::condition_variable cv;
    static int state = 0;  // 1: the reader waits in its row; 2: go on
    g_mix.mid_read_seam = [] {
        std::unique_lock<std::mutex> held(m);
        if (state != 0) return;  // only the first time
        state = 1;
        cv.notify_all();
        cv.wait(held, [] { return state == 2; });
    };
    MixFactors got{};
    std::thread reader([&] { got = g_mix.factors(1); });
    {
        std::unique_lock<std::mutex> held(m);
        cv.wait(held, [] { return state == 1; });
    }
    for (int i = 0; i < 3; ++i) publish({{5, 0.2f, 0.0f}, {1, 0.6f, 0.0f}});
    {
        std::lock_guard<std::mutex> held(m);
        state = 2;
        cv.notify_all();
    }
    reader.join();
    g_mix.mid_read_seam = nullptr;
    EXPECT_EQ(got.gain, 0.6f);
}

// Two audio threads scale blocks while a writer publishes as fast as it
// can, every other table with gliding rows: every block is a ramp (or a
// constant) whose ends are whole tables' factors, where their glides stood
// (each end keeps the pan law's L^2 + R^2 = g^2 at that gain) and every
// frame lies on it; a user is found in every table that
// lists them. One thread also takes the other's speaker now and then (two
// threads on one speaker: only smoothness is lost). What it proves is that
// no block mixes two tables over tens of thousands of blocks raced against
// publications, and, under TSan, that no plain memory is shared without an
// atomic. It does not prove the fences' ordering: TSan does not model
// atomic_thread_fence (GCC says so when it compiles one), and x86 seldom
// shows the reorderings they forbid; they are argued in audio/mix_table.h.
TEST_F(AudioPath, ConcurrentBlocksRampBetweenWholeTablesWhileAWriterPublishes) {
    constexpr uint32_t kN = 48;
    std::atomic<bool> done{false};
    std::atomic<long> blocks{0}, torn{0};
    auto whole = [](float l, float r, float g) { return std::fabs(l * l + r * r - g * g) < 1e-3f; };
    auto reader = [&](uint32_t user, uint32_t sometimes) {
        std::vector<float> b(3 * kN);
        for (long n = 0; !done; ++n) {
            const uint32_t u = n % 7 == 0 ? sometimes : user;
            std::fill(b.begin(), b.end(), 1.0f);
            apply(b.data(), kN, 3, u);
            // The end, and the start extrapolated one frame before frame 0.
            const float* e = &b[3 * (kN - 1)];
            float s[3];
            for (int k = 0; k < 3; ++k) s[k] = b[k] - (e[k] - b[k]) / (kN - 1);
            bool ok = whole(e[0], e[1], e[2]) && whole(s[0], s[1], s[2]) && (u >= 2 || e[2] > 0.0f);
            for (uint32_t f = 0; f < kN && ok; ++f)
                for (int k = 0; k < 3; ++k)
                    ok = ok && std::fabs(b[3 * f + k] - (s[k] + (e[k] - s[k]) * (f + 1) / kN)) < 1e-4f;
            torn += !ok;
            ++blocks;
        }
    };
    publish({{0, 1.0f, 0.0f}, {1, 1.0f, 0.0f}});  // users 0 and 1 are in every table from here on
    std::thread a(reader, 1, 0), b(reader, 400, 1);
    for (int v = 0; v < 2000 || blocks < 20000; ++v) {
        std::vector<Row> rows;
        const float g = static_cast<float>(v % 100 + 1) / 100.0f, p = static_cast<float>(v % 21 - 10) / 10.0f;
        for (uint32_t u = 0; u < static_cast<uint32_t>(v % 500 + 2); ++u) rows.push_back({u, g, p});
        publish(rows, v % 2);
    }
    done = true;
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
}
