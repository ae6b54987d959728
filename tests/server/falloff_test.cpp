// The falloff's pure parts: the curves, the pan's convention, the numbers'
// text, and the lines a tick builds, read back with the plug-in's own parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/decimal.h"
#include "falloff/speaker_table.h"
#include "server/falloff_math.h"
#include "server/level_text.h"
#include "server/update_builder.h"

using namespace server;

namespace {

const FalloffCurve kLinear{2, Curve::linear, -30};
const FalloffCurve kDb{2, Curve::db, -30};

std::string fixed(double v, int places = 3) {
    char text[64];
    char* end = format_fixed(text, text + sizeof text, v, places);
    return end ? std::string(text, end) : "(did not fit)";
}

Player at(const std::string& id, double x, double y, double z = 0, double yaw_deg = 0, double range = 40) {
    Player p;
    p.id = id;
    p.x = x;
    p.y = y;
    p.z = z;
    p.cos_yaw = std::cos(yaw_deg * M_PI / 180);
    p.sin_yaw = std::sin(yaw_deg * M_PI / 180);
    p.range_m = range;
    return p;
}

World world_of(std::vector<Player> players) {
    World w;
    w.players = std::move(players);
    for (size_t i = 0; i < w.players.size(); ++i) w.index[w.players[i].id] = i;
    return w;
}

// Each speaker linked to the client id "c-" + their player id.
LinkMap links_for(const World& w) {
    LinkMap m;
    for (const Player& p : w.players) {
        m.client_of_player[p.id] = "c-" + p.id;
        m.player_of_client["c-" + p.id] = p.id;
    }
    return m;
}

// The line a tick gives the world's first player; the speakers left out,
// if asked.
std::string first_players_line(const World& w, const LinkMap& links, size_t* left_out = nullptr) {
    UpdateBuilder b(kLinear);
    b.prepare(w, links);
    std::string line;
    const size_t n = b.line_for(&w.players[0], &line);
    if (left_out) *left_out = n;
    return line;
}

// The line as the plug-in applies it.
SpeakerTable* parsed(const std::string& line) {
    static SpeakerTable t;
    EXPECT_EQ(line.rfind("UPDATE2", 0), 0u) << line;
    build_speaker_table(line.c_str() + 7, UpdateKind::update2, &t);
    return &t;
}

}  // namespace

TEST(FalloffCurves, LinearFallsFromNearToTheRange) {
    EXPECT_EQ(gain_at(0, 40, kLinear), 1.0);
    EXPECT_EQ(gain_at(2, 40, kLinear), 1.0);
    EXPECT_NEAR(gain_at(21, 40, kLinear), 0.5, 1e-12);
    EXPECT_NEAR(gain_at(39.62, 40, kLinear), 0.01, 1e-9);
    EXPECT_EQ(gain_at(40, 40, kLinear), 0.0);
    EXPECT_EQ(gain_at(40.01, 40, kLinear), 0.0);
    EXPECT_EQ(gain_at(NAN, 40, kLinear), 0.0);
}

TEST(FalloffCurves, DecibelsFallLinearlyToMinDbAtTheRangeThenSilence) {
    EXPECT_EQ(gain_at(2, 40, kDb), 1.0);
    EXPECT_NEAR(20 * std::log10(gain_at(21, 40, kDb)), -15.0, 1e-9);  // half way: half of -30 dB
    EXPECT_NEAR(20 * std::log10(gain_at(40, 40, kDb)), -30.0, 1e-9);
    EXPECT_EQ(gain_at(40.001, 40, kDb), 0.0);
    double last = 1.0;
    for (double d = 2; d <= 40; d += 0.5) {
        EXPECT_LE(gain_at(d, 40, kDb), last) << d;
        last = gain_at(d, 40, kDb);
    }
}

// yaw 0 faces +x, 90 faces +y; right is positive.
TEST(FalloffPan, SineOfTheBearingFromTheListenersFacing) {
    struct Case {
        double yaw, dx, dy, pan;
    } cases[] = {
        {0, 0, 5, 1},      // facing +x, speaker at +y: the right ear
        {0, 0, -5, -1},    // at -y: the left
        {0, 5, 0, 0},      // ahead
        {0, -5, 0, 0},     // behind
        {0, 3, 3, std::sqrt(0.5)},
        {90, 5, 0, -1},    // facing +y, speaker at +x: the left
        {90, -5, 0, 1},
        {180, 0, 5, -1},
        {-90, 5, 0, 1},
        {450, 5, 0, -1},   // a turn and a quarter is a quarter
    };
    for (const Case& c : cases) {
        const double r = c.yaw * M_PI / 180;
        EXPECT_NEAR(pan_of(c.dx, c.dy, std::cos(r), std::sin(r)), c.pan, 1e-9)
            << "yaw " << c.yaw << " at (" << c.dx << ", " << c.dy << ")";
    }
    EXPECT_EQ(pan_of(0, 0, 1, 0), 0.0);  // straight above: no side
}

TEST(FalloffNumbers, FullStopThreePlacesNoNegativeZeroNoNan) {
    EXPECT_EQ(fixed(0.734), "0.734");
    EXPECT_EQ(fixed(-0.4124), "-0.412");
    EXPECT_EQ(fixed(1), "1.000");
    EXPECT_EQ(fixed(-0.0004), "0.000");
    EXPECT_EQ(fixed(NAN), "0.000");
    EXPECT_EQ(fixed(INFINITY), "0.000");
    char tiny[4];
    EXPECT_EQ(format_fixed(tiny, tiny + sizeof tiny, 0.5, 3), nullptr);  // "0.500" does not fit
}

// The tick's own writer of levels agrees with the general one wherever a
// level can fall, and holds what cannot be a level to the range.
TEST(FalloffNumbers, TheTicksLevelWriterAgreesWithTheGeneralOne) {
    auto level = [](double v) {
        char text[8];
        return std::string(text, write_level(text, v));
    };
    for (int i = -20000; i <= 20000; ++i) {
        const double v = i / 20000.0 + 1e-7;  // off the exact halves, where the two may round apart
        if (v > 1) continue;
        ASSERT_EQ(level(v), fixed(v)) << v;
    }
    EXPECT_EQ(level(1), "1.000");
    EXPECT_EQ(level(-1), "-1.000");
    EXPECT_EQ(level(-0.0004), "0.000");
    EXPECT_EQ(level(0.9996), "1.000");
    EXPECT_EQ(level(NAN), "0.000");
    EXPECT_EQ(level(1.7), "1.000");
    EXPECT_EQ(level(-INFINITY), "-1.000");
}

TEST(FalloffNumbers, FullStopUnderADecimalCommaLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if (!comma && std::setlocale(LC_ALL, name)) comma = std::localeconv()->decimal_point[0] == ',';
    const std::string text = fixed(-0.25);
    World w = world_of({at("l", 0, 0), at("s", 0, 21)});
    const std::string line = first_players_line(w, links_for(w));
    std::setlocale(LC_ALL, saved.c_str());
    if (!comma) GTEST_SKIP() << "no decimal-comma locale; scripts/test.sh builds de_DE.UTF-8 and sets LOCPATH";
    EXPECT_EQ(text, "-0.250");
    EXPECT_EQ(line, "UPDATE2 c-s 0.500 1.000");
}

TEST(FalloffLines, NearestFirstOnlyLinkedAliveInTheSpeakersRangeNotTheListener) {
    World w = world_of({
        at("ana", 0, 0, 0, 0),
        at("far", 0, 3000, 0, 0, 40),     // 30 m, range 40: listed last
        at("near", 500, 0, 0),            // 5 m ahead
        at("dead", 100, 0),
        at("unlinked", 200, 0),
        at("whisper", 1100, 0, 0, 0, 10),  // 11 m, but a whisper carries 10
        at("shout", -7000, 0, 0, 0, 80),  // 70 m behind, a shout carries 80
        at("above", 0, 0, 1200),          // 12 m straight up
    });
    for (Player& p : w.players) {
        p.x /= 100, p.y /= 100, p.z /= 100;  // game units to metres, as the ingest does
    }
    w.players[3].alive = false;
    LinkMap links = links_for(w);
    links.client_of_player.erase("unlinked");
    UpdateBuilder b(kLinear);
    b.prepare(w, links);
    std::string line;
    EXPECT_EQ(b.line_for(&w.players[0], &line), 0u);
    EXPECT_EQ(line, "UPDATE2 c-near 0.921 0.000, c-above 0.737 0.000, c-far 0.263 1.000, c-shout 0.128 0.000");
    EXPECT_EQ(b.line_for(nullptr, &line), 0u);
    EXPECT_EQ(line, "UPDATE2");
}

// Speakers are found through a grid; one more than a cell away must still be
// heard when their range reaches, and one at the same distance across a cell
// border alike.
TEST(FalloffLines, TheGridMissesNobodyInRange) {
    std::vector<Player> ps{at("l", 79.5, -0.5, 0, 0, 80)};
    for (int i = 0; i < 64; ++i) {
        const double a = i * M_PI / 32;
        ps.push_back(at("s" + std::to_string(i), 79.5 + 79.9 * std::cos(a), -0.5 + 79.9 * std::sin(a), 0, 0, 80));
    }
    ps.push_back(at("out", 79.5 + 80.1, -0.5, 0, 0, 80));
    World w = world_of(ps);
    const std::string line = first_players_line(w, links_for(w));
    EXPECT_EQ(parsed(line)->count, 64u);
    EXPECT_EQ(line.find("c-out"), std::string::npos);
}

// Crowds in which many stand at the same distance (in fours, mirrored
// about the listener, and all on one spot): nearest first, equal distances
// in client id order, as few speakers are ordered too.
TEST(FalloffLines, EqualDistancesAreListedInClientIdOrder) {
    for (int crowd : {9, 240}) {
        for (bool one_spot : {false, true}) {
            std::vector<Player> ps{at("listener", 0, 0)};
            for (int i = 0; i < crowd; ++i) {
                const double r = one_spot ? 3 : 1 + (i / 4) * 0.5;  // whole numbers of half metres
                const double x = (i % 4 < 2 ? r : -r), y = (i % 2 ? r : -r) / 2;
                ps.push_back(at("s" + std::to_string((i * 7919) % 1000), x, y));
            }
            World w = world_of(ps);
            const std::string line = first_players_line(w, links_for(w));
            std::vector<std::pair<double, std::string>> expected;
            for (size_t i = 1; i < w.players.size(); ++i)
                expected.push_back({std::hypot(w.players[i].x, w.players[i].y), "c-" + w.players[i].id});
            std::sort(expected.begin(), expected.end());
            const SpeakerTable* t = parsed(line);
            ASSERT_GT(t->count, 0u);
            for (size_t i = 0; i < t->count; ++i)
                ASSERT_EQ(t->entries[i].hash, expected[i].second) << crowd << (one_spot ? " on one spot" : "") << " #" << i;
        }
    }
}

// A crowd: the line stays within the plug-in's limit, keeps the nearest,
// counts the rest, and parses as written.
TEST(FalloffLines, ACrowdIsCutAt8191CharactersNearestKept) {
    std::vector<Player> ps{at("listener", 0, 0)};
    for (int i = 0; i < 300; ++i)
        ps.push_back(at(std::string(40 - std::to_string(i).size(), 'a') + std::to_string(i), 0.1 * (i + 1), 0));
    World w = world_of(ps);
    LinkMap links;
    for (const Player& p : w.players) {
        links.client_of_player[p.id] = p.id;
        links.player_of_client[p.id] = p.id;
    }
    size_t left_out = 0;
    const std::string line = first_players_line(w, links, &left_out);
    EXPECT_LE(line.size(), 8191u);
    EXPECT_GT(line.size(), 8191u - 60);  // not cut needlessly early
    const SpeakerTable* t = parsed(line);
    EXPECT_EQ(t->count + left_out, 300u);
    EXPECT_GT(left_out, 0u);
    for (size_t i = 0; i < t->count; ++i) {
        EXPECT_EQ(t->entries[i].hash, w.players[i + 1].id) << i;  // the nearest, in order
        EXPECT_NEAR(t->entries[i].gain, gain_at(0.1 * (i + 1), 40, kLinear), 5e-4);
    }
}
