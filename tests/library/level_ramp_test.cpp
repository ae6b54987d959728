// Changes of level through the built library, with a 440 Hz tone in
// Mumble's 10 ms blocks: each change glides across one block instead of
// stepping (a step from silence to full level is a click), and the block
// after it is scaled exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "tests/support/falloff_fixture.h"

namespace {
constexpr uint32_t kFrames = 480;
constexpr double kPi = 3.14159265358979323846;

// Sample n of the tone. A block holds 4.4 of its periods, so the blocks
// begin at five phases in turn; started a quarter period on, none of them
// is a zero crossing, where a step would hide.
float tone(uint64_t n) { return static_cast<float>(std::cos(2.0 * kPi * 440.0 * static_cast<double>(n) / 48000.0)); }

class LevelRamp : public FalloffFixture {
protected:
    void SetUp() override {
        FalloffFixture::SetUp();
        if (HasFatalFailure()) return;
        write_ini(ini_extra_);
        enable();
        synchronise();
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() >= 1; }));
    }
    // The update is in place once the plug-in has answered the PING that
    // follows it: lines are handled in order.
    void update2(const std::string& payload) {
        auto answers = [&] {
            const auto lines = server.lines();
            return std::count(lines.begin(), lines.end(), std::string("OK"));
        };
        const auto before = answers();
        ASSERT_TRUE(server.send("UPDATE2 " + payload + "\nPING\n"));
        ASSERT_TRUE(eventually([&] { return answers() > before; }));
    }
    // The next stereo block of a user's tone (its phase runs on), as the
    // plug-in leaves it; appended to out and returned.
    std::vector<float> play(uint32_t user, std::vector<float>* out = nullptr) {
        std::vector<float> b(2 * kFrames);
        for (uint32_t f = 0; f < kFrames; ++f, ++phase_[user])
            b[2 * f] = b[2 * f + 1] = tone(phase_[user]);
        lib.onAudioSourceFetched(b.data(), kFrames, 2, 48000, true, user);
        if (out) out->insert(out->end(), b.begin(), b.end());
        return b;
    }
    // Largest step between neighbouring samples of one channel, from the
    // last frame of the block before.
    static float largest_step(const std::vector<float>& two_blocks, int ch) {
        float worst = 0;
        for (size_t f = kFrames; f < two_blocks.size() / 2; ++f)
            worst = std::max(worst, std::fabs(two_blocks[2 * f + ch] - two_blocks[2 * (f - 1) + ch]));
        return worst;
    }
    std::map<uint32_t, uint64_t> phase_;
    // Both glides off: a change of level ramps across the next block alone.
    std::string ini_extra_ = "smoothing=0\npan_smoothing=0\n";
};

// The tone's own largest step at level 1.
const float kToneStep = static_cast<float>(2.0 * std::sin(kPi * 440.0 / 48000.0));
}  // namespace

TEST_F(LevelRamp, EveryChangeGlidesAcrossOneBlockAndTheNextIsExact) {
    const std::string alice = kAliceHash;
    struct Change {
        const char* what;
        std::string update;  // the line after which the block plays
        float left, right;   // the new factors
        float louder;        // the louder level of a channel, before or after
    } changes[] = {
        {"listed at 0", alice + " 0 0", 0.0f, 0.0f, 0.0f},
        {"0 -> 1", alice + " 1 -1", 1.0f, 0.0f, 1.0f},
        {"pan -1 -> 1", alice + " 1 1", 0.0f, 1.0f, 1.0f},
        {"1 -> 0", alice + " 0 1", 0.0f, 0.0f, 1.0f},
        {"re-listed", alice + " 1 1", 0.0f, 1.0f, 1.0f},
        {"dropped", std::string(kBobHash) + " 1 0", 0.0f, 0.0f, 1.0f},
        {"listed again", alice + " 1 -1", 1.0f, 0.0f, 1.0f},
        {"not a number", alice + " nan 0", 0.0f, 0.0f, 1.0f},  // the item is dropped: silence, faded to
    };
    std::vector<float> previous = play(kAlice);  // never heard yet: silent
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        update2(c.update);
        std::vector<float> two = previous;
        play(kAlice, &two);
        for (int ch : {0, 1}) EXPECT_LE(largest_step(two, ch), kToneStep * c.louder * 1.02f + 1e-6f) << ch;
        // From here on the block is scaled by the new factors throughout.
        const uint64_t start = phase_[kAlice];
        previous = play(kAlice);
        for (uint32_t f = 0; f < kFrames; ++f) {
            const float s = tone(start + f);
            ASSERT_EQ(previous[2 * f], s * c.left) << "frame " << f;
            ASSERT_EQ(previous[2 * f + 1], s * c.right) << "frame " << f;
        }
    }
}

TEST_F(LevelRamp, InterleavedSpeakersRampFromTheirOwnLastLevels) {
    update2(std::string(kAliceHash) + " 1 -1, " + kBobHash + " 0.5 1");
    for (uint32_t u : {kAlice, kBob, kAlice, kBob}) factors(u);  // both settled
    update2(std::string(kAliceHash) + " 1 1, " + kBobHash + " 1 -1");
    struct Expect {
        uint32_t user;
        float from_left, from_right, to_left, to_right;
    } blocks[] = {{kAlice, 1, 0, 0, 1}, {kBob, 0, 0.5f, 1, 0}};
    for (int round = 0; round < 2; ++round)
        for (const Expect& e : blocks) {
            SCOPED_TRACE(testing::Message() << "user " << e.user << " round " << round);
            std::vector<float> ones(2 * kFrames, 1.0f);
            lib.onAudioSourceFetched(ones.data(), kFrames, 2, 48000, true, e.user);
            // The first block starts one step from the speaker's own last
            // level; both end on the new one, the second holds it throughout.
            const float l0 = round ? e.to_left : e.from_left + (e.to_left - e.from_left) / kFrames;
            const float r0 = round ? e.to_right : e.from_right + (e.to_right - e.from_right) / kFrames;
            EXPECT_NEAR(ones[0], l0, 1e-6f);
            EXPECT_NEAR(ones[1], r0, 1e-6f);
            EXPECT_EQ(ones[2 * kFrames - 2], e.to_left);
            EXPECT_EQ(ones[2 * kFrames - 1], e.to_right);
        }
}

// A user event rereads the directory and republishes the mix; a speaker
// whose level it leaves as it was goes on at that level, with no dip from
// silence (which a memory forgetting its speakers at each refresh would
// give every voice, at every event and every periodic refresh).
TEST_F(LevelRamp, ADirectoryRefreshLeavesASteadySpeakerAlone) {
    update2(std::string(kAliceHash) + " 0.5 0.5");
    play(kAlice);
    play(kAlice);  // ramped, then settled
    const float l = std::sqrt(0.25f), r = std::sqrt(0.75f);  // the pan law at 0.5
    lib.onUserAdded(0, 9);
    std::vector<float> ones(2 * kFrames, 1.0f);
    lib.onAudioSourceFetched(ones.data(), kFrames, 2, 48000, true, kAlice);
    EXPECT_EQ(ones[0], 0.5f * l);
    EXPECT_EQ(ones[1], 0.5f * r);
    EXPECT_EQ(ones[2 * kFrames - 2], 0.5f * l);
}
