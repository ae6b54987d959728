// The memory of each speaker's last factors under the audio threads and a
// writer at once: more speakers than places, so entries are replaced, while
// the writer reclaims and clears as fast as it can. Whatever an audio
// thread recalls or claims is one whole record of its own speaker, or
// silence; never another speaker's factors and never a mix of two stores.
// Under TSan the run also shows that no plain memory is shared without an
// atomic. It does not check the fence's ordering: TSan does not model
// atomic_thread_fence (GCC says so when it compiles one), and on x86 the
// reordering the fence forbids would seldom show; the fence is argued where
// it stands, in audio/ramp_memory.h.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio/ramp_memory.h"

namespace {
RampMemory g_ramps;  // static, as the plug-in's own

// A speaker's two records: gain g with left 2g and right 3g.
MixFactors record(uint32_t user, bool second) {
    const float g = static_cast<float>(user + 1) + (second ? 0.5f : 0.0f);
    return MixFactors{g, 2 * g, 3 * g};
}
bool whole(uint32_t user, const MixFactors& f) {
    if (f.gain == 0.0f && f.left == 0.0f && f.right == 0.0f) return true;
    for (bool second : {false, true}) {
        const MixFactors r = record(user, second);
        if (f.gain == r.gain && f.left == r.left && f.right == r.right) return true;
    }
    return false;
}
}  // namespace

// A writer meets an entry that an audio thread holds: a reclaim leaves it
// to be let go whole, and a clear makes it nobody's without handing it to
// another claim, so the late store of its holder lands where no one reads.
TEST(RampMemory, WritersNeverTakeAnEntryInUse) {
    RampMemory& m = g_ramps;
    m.clear();
    const uint32_t user = 42;
    RampMemory::Claim c = m.claim(user, m.recall(user), true);
    ASSERT_TRUE(c.held);
    m.reclaim_unless([](uint32_t) { return false; });
    m.release(c, record(user, false));
    RampMemory::Seen seen = m.recall(user);
    ASSERT_EQ(seen.kind, RampMemory::Seen::idle);
    EXPECT_EQ(seen.last.gain, record(user, false).gain);
    m.reclaim_unless([](uint32_t) { return false; });  // idle now: freed
    EXPECT_EQ(m.recall(user).kind, RampMemory::Seen::none);

    c = m.claim(user, m.recall(user), true);
    ASSERT_TRUE(c.held);
    m.clear();
    const RampMemory::Claim fresh = m.claim(user, m.recall(user), true);
    ASSERT_TRUE(fresh.held);
    EXPECT_NE(fresh.index, c.index);
    EXPECT_EQ(fresh.last.gain, 0.0f);  // after the clear the speaker starts silent
    m.release(fresh, record(user, true));
    m.release(c, record(user, false));  // the late one
    seen = m.recall(user);
    ASSERT_EQ(seen.kind, RampMemory::Seen::idle);
    EXPECT_EQ(seen.last.gain, record(user, true).gain);
}

// A reader overtaken by a storer of its own speaker between the gain it
// read and the other two factors: the record it holds is half of each
// store, and the second look at the state word notices that the entry
// moved on, so the reader does not take it as the speaker's last level.
TEST(RampMemory, AReaderOvertakenByAStorerDoesNotTakeTheTornRecord) {
    RampMemory& m = g_ramps;
    m.clear();
    const uint32_t user = 9;
    m.release(m.claim(user, m.recall(user), true), record(user, false));
    static RampMemory* memory = &m;
    static bool overtaken = false;
    ramp_recall_seam = [] {
        if (overtaken) return;  // the storer's own recall passes through here too
        overtaken = true;
        memory->release(memory->claim(user, memory->recall(user), true), record(user, true));
    };
    const RampMemory::Seen seen = m.recall(user);
    ramp_recall_seam = nullptr;
    ASSERT_TRUE(overtaken);
    EXPECT_EQ(seen.last.gain, record(user, false).gain);  // the halves of two stores
    EXPECT_EQ(seen.last.left, record(user, true).left);
    EXPECT_EQ(seen.kind, RampMemory::Seen::in_use);
    const RampMemory::Seen after = m.recall(user);  // nobody in the way now
    ASSERT_EQ(after.kind, RampMemory::Seen::idle);
    EXPECT_TRUE(whole(user, after.last));
    EXPECT_EQ(after.last.gain, record(user, true).gain);
}

TEST(RampMemory, AudioThreadsNeverSeeAnotherSpeakersOrAHalfStoredRecord) {
    constexpr uint32_t kSpeakers = 3000;  // three times the places
    std::atomic<bool> done{false};
    std::atomic<long> blocks{0}, held{0}, torn{0};
    // Each thread its own speakers, and every fourth block one of sixteen
    // that both threads play.
    auto audio = [&](uint32_t first) {
        for (uint32_t n = 0; !done; ++n) {
            const uint32_t user = n % 4 == 0 ? n / 4 % 16 : (first + 2 * n) % kSpeakers;
            const RampMemory::Seen seen = g_ramps.recall(user);
            if (seen.kind == RampMemory::Seen::idle && !whole(user, seen.last)) ++torn;
            const RampMemory::Claim c = g_ramps.claim(user, seen, true);
            if (c.held && !whole(user, c.last)) ++torn;
            held += c.held;
            g_ramps.release(c, record(user, n & 1));
            ++blocks;
        }
    };
    std::thread a(audio, 0), b(audio, 1);
    for (uint32_t round = 0; round < 3000 || blocks < 50000; ++round) {
        if (round % 10 == 0) {
            g_ramps.clear();
        } else {
            g_ramps.reclaim_unless([&](uint32_t user) { return (user + round) % 3 != 0; });
        }
    }
    done = true;
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(held.load(), blocks.load() / 2);  // most blocks did hold an entry
}
