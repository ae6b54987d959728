// The audio path over tables filled in place: the pan law, the clamps, the
// channel layouts, full-table scans, and that no block allocates.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "audio/gain_pan.h"
#include "plugin/state.h"

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
class AudioPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_state.lock_initialised) plat::lock_init(&g_state.lock);
        g_state.lock_initialised = 1;
        saved_ = g_state.settings;
        g_state.settings.enabled = 1;
        g_state.directory.count = g_state.speakers.count = 0;
    }
    void TearDown() override {
        g_state.settings = saved_;
        g_state.directory.count = g_state.speakers.count = 0;
    }
    // A user and a speaker of the same hash. The levels are written as is:
    // they reach the audio path without the parser's clamps, as a fault
    // elsewhere might leave them.
    static void add(uint32_t id, const char* hash, float gain, float pan) {
        UserHashDirectory& d = g_state.directory;
        SpeakerTable& t = g_state.speakers;
        copy_text(d.entries[d.count].hash, kHashField, hash);
        copy_text(t.entries[t.count].hash, kHashField, hash);
        d.entries[d.count].user_id = d.ids[d.count] = id;
        t.entries[t.count].gain = gain;
        t.entries[t.count].pan = pan;
        t.keys[t.count++] = hash_key(hash);
        d.count++;
    }
    PluginSettings saved_;
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
        g_state.directory.count = g_state.speakers.count = 0;
        add(7, "c0ffee0123456789", c.gain, c.pan);
        float stereo[2] = {1.0f, 1.0f}, mono = 1.0f;
        ASSERT_TRUE(apply_speaker_gain(stereo, 1, 2, true, 7));
        ASSERT_TRUE(apply_speaker_gain(&mono, 1, 1, true, 7));
        EXPECT_EQ(stereo[0], c.left);
        EXPECT_EQ(stereo[1], c.right);
        EXPECT_EQ(mono, c.mono);
    }
}

TEST_F(AudioPath, ChannelLayoutsAndNothingBeyondTheBlock) {
    // Frame counts that take both the runs of eight samples and the tail.
    struct Case {
        uint16_t channels;
        uint32_t frames;
        float gain, pan;
        std::vector<float> per_channel;
    } cases[] = {
        {1, 9, 0.5f, -1.0f, {0.5f}},                               // the gain alone; no pan
        {2, 5, 0.5f, -1.0f, {0.5f, 0.0f}},                         // fully left
        {6, 2, 0.8f, 1.0f, {0.0f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f}},  // pan on 0 and 1, gain on the rest
    };
    for (const Case& c : cases) {
        g_state.directory.count = g_state.speakers.count = 0;
        add(7, "c0ffee0123456789", c.gain, c.pan);
        std::vector<float> block(c.frames * c.channels + 1, 1.0f);
        ASSERT_TRUE(apply_speaker_gain(block.data(), c.frames, c.channels, true, 7));
        for (size_t i = 0; i + 1 < block.size(); ++i)
            EXPECT_EQ(block[i], c.per_channel[i % c.channels]) << c.channels << " channels, sample " << i;
        EXPECT_EQ(block.back(), 1.0f) << c.channels << " channels: the sample after the block";
    }
    float untouched = 3.0f;  // no frames: nothing touched, still handled
    EXPECT_TRUE(apply_speaker_gain(&untouched, 0, 2, true, 7));
    EXPECT_EQ(untouched, 3.0f);
}

TEST_F(AudioPath, FullTablesResolveEveryUserWithoutAllocating) {
    // 509 entries (not a whole number of scan runs), in reverse order; the
    // first eight hashes share their first 8 characters.
    constexpr uint32_t kUsers = 509;
    char hash[kUsers][40];
    auto gain = [](uint32_t i) { return static_cast<float>(i % 97 + 1) / 128.0f; };
    for (uint32_t i = 0; i < kUsers; ++i)
        std::snprintf(hash[i], sizeof hash[i], "%08x%04u", i < 8 ? 0xDEADBEEFu : i * 2654435761u, i);
    for (uint32_t i = kUsers; i-- > 0;) add(1000 + i, hash[i], gain(i), 0.0f);
    for (uint32_t i = 0; i < kUsers; ++i) {
        float sample = 1.0f;
        ASSERT_TRUE(apply_speaker_gain(&sample, 1, 1, true, 1000 + i));
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
        EXPECT_TRUE(apply_speaker_gain(block.data(), 480, channels, true, 1000));  // last in both tables
        EXPECT_TRUE(apply_speaker_gain(block.data(), 480, channels, true, 4000));  // unknown
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
}
