// The audio path over tables filled in place: the pan law, the channel
// layouts, the clamps, unknown speakers, and that a block is scaled without
// a single allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "audio/gain_pan.h"
#include "plugin/state.h"

// A counting operator new for the whole unit-test binary. Sanitizers bring
// their own allocator, so there it is left out and the test skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QL_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QL_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef QL_COUNT_ALLOCATIONS
#define QL_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

#if QL_COUNT_ALLOCATIONS
namespace {
// Out of line, so the compiler does not pair a free with a new in sight.
[[gnu::noinline]] void* raw_allocate(std::size_t n) { return std::malloc(n ? n : 1); }
[[gnu::noinline]] void raw_release(void* p) { std::free(p); }
}  // namespace
void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = raw_allocate(n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { raw_release(p); }
void operator delete(void* p, std::size_t) noexcept { raw_release(p); }
#endif

namespace {
constexpr uint32_t kSoundSample = 0xFFFFFFFFu;

class AudioPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_state.lock_initialised) {
            plat::lock_init(&g_state.lock);
            g_state.lock_initialised = 1;
            own_lock_ = true;
        }
        saved_enabled_ = g_state.settings.enabled;
        g_state.settings.enabled = 1;
        g_state.directory.count = 0;
        g_state.speakers.count = 0;
    }
    void TearDown() override {
        g_state.directory.count = 0;
        g_state.speakers.count = 0;
        g_state.settings.enabled = saved_enabled_;
        if (own_lock_) {
            plat::lock_destroy(&g_state.lock);
            g_state.lock_initialised = 0;
        }
    }

    static void add_user(uint32_t id, const char* hash) {
        UserHashDirectory& d = g_state.directory;
        d.entries[d.count].user_id = id;
        copy_text(d.entries[d.count].hash, kHashField, hash);
        d.ids[d.count++] = id;
    }
    // Written as is: the values reach the audio path without the parser's
    // clamps, as a fault elsewhere might leave them.
    static void add_speaker(const char* hash, float gain, float pan) {
        SpeakerTable& t = g_state.speakers;
        SpeakerEntry& e = t.entries[t.count];
        copy_text(e.hash, kHashField, hash);
        e.gain = gain;
        e.pan = pan;
        t.keys[t.count++] = hash_key(hash);
    }
    // One speaker, user 7, with the given levels.
    static void listen_to(float gain, float pan) {
        g_state.directory.count = 0;
        g_state.speakers.count = 0;
        add_user(7, "c0ffee0123456789");
        add_speaker("c0ffee0123456789", gain, pan);
    }

    bool own_lock_ = false;
    uint8_t saved_enabled_ = 1;
};

std::vector<float> ones(size_t n) { return std::vector<float>(n, 1.0f); }
}  // namespace

TEST_F(AudioPath, PanLawHitsTheTablePointsInSinglePrecision) {
    struct Point {
        float pan, left, right;
    } points[] = {{-1.0f, 1.0f, 0.0f},
                  {-0.5f, 0.8660254f, 0.5f},
                  {0.0f, 0.70710677f, 0.70710677f},
                  {0.5f, 0.5f, 0.8660254f},
                  {1.0f, 0.0f, 1.0f}};
    for (const Point& p : points) {
        listen_to(1.0f, p.pan);
        auto block = ones(4);
        ASSERT_TRUE(apply_speaker_gain(block.data(), 2, 2, true, 7));
        EXPECT_EQ(block[0], p.left) << "pan " << p.pan;
        EXPECT_EQ(block[1], p.right) << "pan " << p.pan;
        EXPECT_EQ(block[2], p.left);
        EXPECT_EQ(block[3], p.right);
    }
    // Constant power all the way across.
    for (int i = -100; i <= 100; ++i) {
        float l, r;
        pan_factors(i / 100.0f, &l, &r);
        EXPECT_NEAR(l * l + r * r, 1.0f, 1e-6f);
    }
}

TEST_F(AudioPath, ChannelLayoutsAndNothingBeyondTheBlock) {
    // Mono: the gain alone; the pan in the table makes no difference.
    listen_to(0.5f, -1.0f);
    auto mono = ones(5);
    ASSERT_TRUE(apply_speaker_gain(mono.data(), 4, 1, true, 7));
    EXPECT_EQ(mono, (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f, 1.0f}));

    // Stereo fully left at half gain; the sample after the block stays.
    auto stereo = ones(7);
    ASSERT_TRUE(apply_speaker_gain(stereo.data(), 3, 2, true, 7));
    EXPECT_EQ(stereo, (std::vector<float>{0.5f, 0, 0.5f, 0, 0.5f, 0, 1.0f}));

    // Six channels fully right: 0 and 1 by the pan, the rest by the gain.
    listen_to(0.8f, 1.0f);
    auto six = ones(2 * 6 + 1);
    ASSERT_TRUE(apply_speaker_gain(six.data(), 2, 6, true, 7));
    for (int f = 0; f < 2; ++f) {
        EXPECT_EQ(six[f * 6 + 0], 0.0f);
        for (int k = 1; k < 6; ++k) EXPECT_EQ(six[f * 6 + k], 0.8f) << "frame " << f << " ch " << k;
    }
    EXPECT_EQ(six[12], 1.0f);

    // No frames: nothing touched, still handled.
    float untouched = 3.0f;
    EXPECT_TRUE(apply_speaker_gain(&untouched, 0, 2, true, 7));
    EXPECT_EQ(untouched, 3.0f);
}

TEST_F(AudioPath, OutOfRangeLevelsAreClampedAndNonFiniteOnesSilence) {
    struct Case {
        float gain, pan, left, right;
    } cases[] = {
        {1.5f, 0.0f, 0.70710677f, 0.70710677f},  // gain used as 1
        {-0.2f, 0.0f, 0.0f, 0.0f},               // gain used as 0
        {1.0f, 3.0f, 0.0f, 1.0f},                // pan used as 1
        {1.0f, -7.0f, 1.0f, 0.0f},               // pan used as -1
        {NAN, 0.0f, 0.0f, 0.0f},
        {0.5f, NAN, 0.0f, 0.0f},
        {INFINITY, 0.0f, 0.0f, 0.0f},
        {0.5f, -INFINITY, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        listen_to(c.gain, c.pan);
        auto block = ones(4);
        ASSERT_TRUE(apply_speaker_gain(block.data(), 2, 2, true, 7));
        for (int i = 0; i < 4; i += 2) {
            EXPECT_EQ(block[i], c.left) << "gain " << c.gain << " pan " << c.pan;
            EXPECT_EQ(block[i + 1], c.right) << "gain " << c.gain << " pan " << c.pan;
        }
        auto mono = ones(2);
        ASSERT_TRUE(apply_speaker_gain(mono.data(), 2, 1, true, 7));
        EXPECT_FALSE(std::isnan(mono[0]));
        EXPECT_FALSE(std::isnan(mono[1]));
    }
}

TEST_F(AudioPath, SpeakersAreFoundByUserThenHashAndEveryoneElseIsSilent) {
    add_user(3, "AAAA1111bbbb2222");
    add_user(4, "dddd4444");
    add_user(3, "eeee5555");  // a duplicate id resolves to its first record
    add_speaker("eeee5555", 1.0f, 0.0f);
    add_speaker("aaaa1111BBBB2222", 0.25f, -1.0f);  // differs only in case

    auto a = ones(2);
    ASSERT_TRUE(apply_speaker_gain(a.data(), 1, 2, true, 3));
    EXPECT_EQ(a, (std::vector<float>{0.25f, 0.0f}));

    // Known user, hash not listed: silence.
    auto b = ones(2);
    EXPECT_TRUE(apply_speaker_gain(b.data(), 1, 2, true, 4));
    EXPECT_EQ(b, (std::vector<float>{0.0f, 0.0f}));

    // Unknown user: silence.
    auto c = ones(2);
    EXPECT_TRUE(apply_speaker_gain(c.data(), 1, 2, true, 99));
    EXPECT_EQ(c, (std::vector<float>{0.0f, 0.0f}));

    // An empty speaker table silences everyone.
    g_state.speakers.count = 0;
    auto d = ones(2);
    EXPECT_TRUE(apply_speaker_gain(d.data(), 1, 2, true, 3));
    EXPECT_EQ(d, (std::vector<float>{0.0f, 0.0f}));
}

TEST_F(AudioPath, FullTablesResolveEveryUserWhereverTheyStand) {
    // 509 users (not a whole number of scan runs); the speaker table lists
    // them in reverse; the first eight hashes share their first 8 characters.
    constexpr uint32_t kUsers = 509;
    auto hash = [](uint32_t i) {
        char h[40];
        if (i < 8)
            std::snprintf(h, sizeof h, "DEADbeef%04u", i);
        else
            std::snprintf(h, sizeof h, "%08x%04u", i * 2654435761u, i);
        return std::string(h);
    };
    auto gain = [](uint32_t i) { return static_cast<float>(i % 97 + 1) / 128.0f; };
    for (uint32_t i = 0; i < kUsers; ++i) add_user(1000 + i, hash(i).c_str());
    for (uint32_t i = kUsers; i-- > 0;) add_speaker(hash(i).c_str(), gain(i), 0.0f);
    add_user(1005, hash(3).c_str());  // a second record further on never wins

    for (uint32_t i = 0; i < kUsers; ++i) {
        float sample = 1.0f;
        ASSERT_TRUE(apply_speaker_gain(&sample, 1, 1, true, 1000 + i));
        ASSERT_EQ(sample, gain(i)) << "user " << i;
    }
    float sample = 1.0f;
    EXPECT_TRUE(apply_speaker_gain(&sample, 1, 1, true, 1000 + kUsers));
    EXPECT_EQ(sample, 0.0f);
}

TEST_F(AudioPath, BlocksThatAreNotSpeechOrAreOffAreLeftAlone) {
    listen_to(0.0f, 0.0f);
    add_user(kSoundSample, "c0ffee0123456789");
    auto block = ones(4);
    EXPECT_FALSE(apply_speaker_gain(block.data(), 2, 2, false, kSoundSample));  // a sound sample
    EXPECT_FALSE(apply_speaker_gain(block.data(), 2, 2, false, 7));
    EXPECT_FALSE(apply_speaker_gain(block.data(), 2, 0, true, 7));
    EXPECT_FALSE(apply_speaker_gain(nullptr, 2, 2, true, 7));
    g_state.settings.enabled = 0;
    EXPECT_FALSE(apply_speaker_gain(block.data(), 2, 2, true, 7));
    EXPECT_EQ(block, ones(4));
}

TEST_F(AudioPath, ScalingABlockAllocatesNothing) {
    if (!QL_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator is in charge";
    for (uint32_t i = 0; i < 512; ++i) {
        char hash[40];
        std::snprintf(hash, sizeof hash, "%032x", i);
        add_user(i, hash);
        add_speaker(hash, 0.5f, 0.25f);
    }
    std::vector<float> block(480 * 6, 1.0f);
    // The counter sees an allocation, so a zero below means something.
    long before = g_allocations.load();
    int* volatile probe = new int(1);
    delete probe;
    ASSERT_EQ(g_allocations.load() - before, 1);

    before = g_allocations.load();
    for (uint16_t channels : {1, 2, 6}) {
        EXPECT_TRUE(apply_speaker_gain(block.data(), 480, channels, true, 511));
        EXPECT_TRUE(apply_speaker_gain(block.data(), 480, channels, true, 4000));  // unknown
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
}
