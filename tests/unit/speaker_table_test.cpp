// The SpeakerTable from update payloads: item scanning, clamps, values that
// are not numbers, the case-insensitive merge, the 512-entry cap, the
// published table as readers see it, and the log line of each update.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "falloff/speaker_table.h"
#include "platform/testing.h"
#include "plugin/state.h"

namespace pt = plat::testing;

namespace {
struct Entry {
    std::string hash;
    float gain, pan;
    bool operator==(const Entry& o) const { return hash == o.hash && gain == o.gain && pan == o.pan; }
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << "{" << e.hash << " " << e.gain << " " << e.pan << "}";
}

class Speakers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_state.lock_initialised) {
            plat::lock_init(&g_state.lock);
            g_state.lock_initialised = 1;
        }
        saved = g_state.settings;
        g_state.settings.debug_log = 0;
    }
    void TearDown() override {
        g_state.settings = saved;
        StateLock held;
        g_state.speakers.count = 0;
    }
    std::vector<Entry> build(const std::string& payload, UpdateKind kind = UpdateKind::update2) {
        build_speaker_table(payload.c_str(), kind, t.get());
        std::vector<Entry> out;
        for (uint64_t i = 0; i < t->count; ++i)
            out.push_back({t->entries[i].hash, t->entries[i].gain, t->entries[i].pan});
        return out;
    }
    std::unique_ptr<SpeakerTable> t = std::make_unique<SpeakerTable>();
    PluginSettings saved;
};
using E = std::vector<Entry>;
}  // namespace

TEST_F(Speakers, ItemScanning) {
    EXPECT_EQ(build(" \t, a 1 0 ,  , b 0.5 -1 ,,"), (E{{"a", 1, 0}, {"b", 0.5f, -1}}));
    // UPDATE never reads a pan; UPDATE2 without one gives 0.
    EXPECT_EQ(build("a 0.5 0.7", UpdateKind::update), (E{{"a", 0.5f, 0}}));
    EXPECT_EQ(build("a 0.5", UpdateKind::update2), (E{{"a", 0.5f, 0}}));
    EXPECT_EQ(build("a 0.5 left", UpdateKind::update2), (E{{"a", 0.5f, 0}}));
    // Items without a number where the gain belongs are dropped, the rest kept.
    EXPECT_EQ(build("a word, b, , c .25, d 1e-1x"), (E{{"c", 0.25f, 0}, {"d", 0.1f, 0}}));
    EXPECT_EQ(build("\tq\t0.5\t0.5\r"), (E{{"q", 0.5f, 0.5f}}));

    // A hash is cut at 127 characters and the gain read from the 128th on.
    const std::string h127(127, 'h');
    EXPECT_EQ(build(h127 + "0.5"), (E{{h127, 0.5f, 0}}));
    EXPECT_EQ(build(h127 + "x 0.5"), E{});
    EXPECT_EQ(build(std::string(9000, 'h') + " 1, ok 1"), (E{{"ok", 1, 0}}));
}

TEST_F(Speakers, ClampsAndValuesThatAreNotNumbers) {
    EXPECT_EQ(build("a 1.5 -3, b -0.2 7, c 1 1, d 0 -1"),
              (E{{"a", 1, -1}, {"b", 0, 1}, {"c", 1, 1}, {"d", 0, -1}}));
    // Infinities, written or by overflow (of a double or only of a float),
    // clamp to the nearer bound.
    EXPECT_EQ(build("a inf -INFINITY, b -inf 1e999, c 1e-999 -1e999, d 1e39 -1e39"),
              (E{{"a", 1, -1}, {"b", 0, 1}, {"c", 0, -1}, {"d", 1, -1}}));
    // A NaN would pass both clamps and poison the audio: the item is dropped.
    EXPECT_EQ(build("a nan 0, b 0.5 NaN, c -nan, d nan(7) 1, e 0.5 0.5"), (E{{"e", 0.5f, 0.5f}}));
    EXPECT_EQ(build("a nan", UpdateKind::update), E{});
}

TEST_F(Speakers, MergeIgnoresLetterCaseAndTheCapKeepsTheFirst512) {
    EXPECT_EQ(build("abc 0.2 0, x 1, ABC 0.9 1, aBc 0.3"), (E{{"abc", 0.3f, 0}, {"x", 1, 0}}));
    // Equal first eight bytes, different after: two speakers.
    EXPECT_EQ(build("abcdefgh1 1, ABCDEFGH2 0.5"), (E{{"abcdefgh1", 1, 0}, {"ABCDEFGH2", 0.5f, 0}}));

    std::string line;
    for (int i = 0; i < 513; ++i) line += "s" + std::to_string(i) + " 0.5,";
    line += "S2 0.25 -0.5, s600 1";  // the 514th repeats the 3rd; the 515th is new
    E got = build(line);
    ASSERT_EQ(got.size(), 512u);
    EXPECT_EQ(got[2], (Entry{"s2", 0.25f, -0.5f}));
    EXPECT_EQ(got[511].hash, "s511");
}

TEST_F(Speakers, ApplyUpdatePublishesAndLogsEveryLine) {
    std::string dir = pt::make_temp_dir("ql_speakers");
    std::string log = pt::join(dir, "quorra_link.log");
    copy_text(g_state.settings.log_path, kPathField, log.c_str());
    g_state.settings.debug_log = 1;

    apply_update("abc 0.2 0, ABC 0.9 1", UpdateKind::update2, t.get());
    {
        StateLock held;
        ASSERT_EQ(g_state.speakers.count, 1u);
        EXPECT_STREQ(g_state.speakers.entries[0].hash, "abc");
        EXPECT_EQ(find_speaker(g_state.speakers, "AbC"), &g_state.speakers.entries[0]);
        EXPECT_EQ(find_speaker(g_state.speakers, "abd"), nullptr);
    }
    // Every update replaces the table, also one that yields nothing.
    for (const char* empty : {"", " \t ", ",,,", "junk, also junk"}) {
        apply_update("abc 1", UpdateKind::update2, t.get());
        apply_update(empty, UpdateKind::update, t.get());
        StateLock held;
        EXPECT_EQ(g_state.speakers.count, 0u) << '"' << empty << '"';
        EXPECT_EQ(find_speaker(g_state.speakers, "abc"), nullptr);
    }

    std::string text;
    ASSERT_TRUE(pt::read_file(log, &text));
    pt::remove_tree(dir);
    EXPECT_NE(text.find("] received UPDATE2 with 1 speakers\r\n"), std::string::npos);
    EXPECT_NE(text.find("] received UPDATE with 0 speakers\r\n"), std::string::npos);
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 9u);
}

// Readers under the lock see either the whole old table or the whole new
// one, never a mixture, while the worker publishes.
TEST_F(Speakers, ReadersNeverSeeAHalfPublishedTable) {
    std::string big, small;
    for (int i = 0; i < 400; ++i) big += "b" + std::to_string(i) + " 0.25 -1,";
    for (int i = 0; i < 3; ++i) small += "s" + std::to_string(i) + " 0.75 1,";

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            StateLock held;
            const SpeakerTable& s = g_state.speakers;
            const float want = s.count == 400 ? 0.25f : 0.75f;
            if (s.count != 0 && s.count != 400 && s.count != 3) ++torn;
            for (uint64_t i = 0; i < s.count; ++i)
                if (s.entries[i].gain != want || s.entries[i].hash[0] != (s.count == 400 ? 'b' : 's')) ++torn;
            ++reads;
        }
    });
    for (int round = 0; round < 300 || reads.load() < 50; ++round)
        apply_update(round % 2 ? small.c_str() : big.c_str(), UpdateKind::update2, t.get());
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}
