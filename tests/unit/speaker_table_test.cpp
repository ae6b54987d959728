// The SpeakerTable from update payloads: item scanning, clamps, values that
// are not numbers, the case-insensitive merge and the 512-entry cap.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "falloff/speaker_table.h"

namespace {
using Entry = std::tuple<std::string, float, float>;  // hash, gain, pan
using E = std::vector<Entry>;

class Speakers : public ::testing::Test {
protected:
    E build(const std::string& payload, UpdateKind kind = UpdateKind::update2) {
        build_speaker_table(payload.c_str(), kind, &t);
        E out;
        for (uint64_t i = 0; i < t.count; ++i) out.emplace_back(t.entries[i].hash, t.entries[i].gain, t.entries[i].pan);
        return out;
    }
    SpeakerTable t;
};
}  // namespace

TEST_F(Speakers, ItemScanningClampsAndValuesThatAreNotNumbers) {
    const std::string h127(127, 'h');
    const auto update = UpdateKind::update;
    struct Case { std::string payload; E expected; UpdateKind kind = UpdateKind::update2; } cases[] = {
        {" \t, a 1 0 ,  , b 0.5 -1 ,,", {{"a", 1, 0}, {"b", 0.5f, -1}}},
        {"\tq\t0.5\t0.5\r", {{"q", 0.5f, 0.5f}}},
        {"", {}}, {" \t ", {}}, {",,,", {}},
        // UPDATE never reads a pan; UPDATE2 without one gives 0.
        {"a 0.5 0.7", {{"a", 0.5f, 0}}, update}, {"a 0.5", {{"a", 0.5f, 0}}}, {"a 0.5 left", {{"a", 0.5f, 0}}},
        // Items without a number where the gain belongs are dropped, the rest kept.
        {"a word, b, , c .25, d 1e-1x", {{"c", 0.25f, 0}, {"d", 0.1f, 0}}},
        // A hash is cut at 127 characters and the gain read from the 128th on.
        {h127 + "0.5", {{h127, 0.5f, 0}}}, {h127 + "x 0.5", {}}, {std::string(9000, 'h') + " 1, ok 1", {{"ok", 1, 0}}},
        {"a 1.5 -3, b -0.2 7, c 1 1, d 0 -1", {{"a", 1, -1}, {"b", 0, 1}, {"c", 1, 1}, {"d", 0, -1}}},
        // Infinities, written or by overflow (of a double or only of a float),
        // clamp to the nearer bound.
        {"a inf -INFINITY, b -inf 1e999, c 1e-999 -1e999, d 1e39 -1e39",
         {{"a", 1, -1}, {"b", 0, 1}, {"c", 0, -1}, {"d", 1, -1}}},
        // A NaN would pass both clamps and poison the audio: the item is dropped.
        {"a nan 0, b 0.5 NaN, c -nan, d nan(7) 1, e 0.5 0.5", {{"e", 0.5f, 0.5f}}},
        {"a nan", {}, update},
    };
    for (const Case& c : cases) {
        build("z 1");  // the table before holds an entry
        EXPECT_EQ(build(c.payload, c.kind), c.expected) << '"' << c.payload.substr(0, 60) << '"';
    }
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
    EXPECT_EQ(std::get<0>(got[511]), "s511");
}
