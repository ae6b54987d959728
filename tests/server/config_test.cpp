// The configuration as an operator writes it: defaults, every error with its
// line, and the rules that keep a server from starting half right.
#include <gtest/gtest.h>

#include <clocale>

#include "server/config.h"
#include "testkit/test_os.h"

using namespace server;

namespace {
ConfigLoad parse(const std::string& text) { return parse_config(text, "/srv/voice", "test.toml"); }

std::string errors_of(const ConfigLoad& l) {
    std::string s;
    for (const ConfigError& e : l.errors) s += std::to_string(e.line) + ": " + e.message + "\n";
    return s;
}
}  // namespace

TEST(ServerConfig, OnlyTheKeysAreNeededAndEverythingElseHasItsDefault) {
    const ConfigLoad l = parse("[plugins]\nkeys = [\"new\", \"old\"]\n");
    ASSERT_TRUE(l.ok()) << errors_of(l);
    const Config& c = l.config;
    EXPECT_EQ(c.keys, (std::vector<std::string>{"new", "old"}));
    EXPECT_EQ(c.plugins_listen.host, "0.0.0.0");
    EXPECT_EQ(c.plugins_listen.port, 8890);
    EXPECT_EQ(c.ingest_listen.host, "127.0.0.1");
    EXPECT_EQ(c.ingest_listen.port, 8891);
    EXPECT_EQ(c.rate_hz, 10);
    EXPECT_EQ(c.units_per_metre, 100);
    EXPECT_EQ(c.near_m, 2);
    EXPECT_EQ(c.curve, Curve::linear);
    EXPECT_EQ(c.min_db, -30);
    ASSERT_EQ(c.ranges.size(), 3u);
    EXPECT_EQ(c.store_path, "/srv/voice/links.sqlite3");  // beside the file
}

TEST(ServerConfig, TheExampleInTheDocsIsValid) {
    std::string text;
    ASSERT_TRUE(test_os::read_file(QL_SOURCE_DIR "/docs/falloff_server.example.toml", &text));
    const ConfigLoad l = parse(text);
    EXPECT_TRUE(l.ok()) << errors_of(l);
}

TEST(ServerConfig, EveryErrorIsReportedWithItsLine) {
    const ConfigLoad l = parse(
        "[plugins]\n"                       // 1
        "listen = \"0.0.0.0\"\n"            // 2: no port
        "keys = [\"good\", \"with space\"]\n"  // 3
        "colour = \"blue\"\n"               // 4: unknown
        "[ingest]\n"                        // 5
        "listen = \"0.0.0.0:8891\"\n"       // 6: public without a token
        "[falloff]\n"                       // 7
        "curve = \"log\"\n"                 // 8
        "rate_hz = 0\n"                     // 9
        "ranges = { whisper = 10 }\n"       // 10: no normal
        "[store]\n"                         // 11
        "path = 3\n");                      // 12
    std::vector<int> lines;
    for (const ConfigError& e : l.errors) lines.push_back(e.line);
    EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 6, 8, 9, 10, 12})) << errors_of(l);
}

TEST(ServerConfig, TheRulesAnOperatorWouldOtherwiseLearnTheHardWay) {
    struct Case {
        const char* text;
        const char* says;
    } cases[] = {
        {"", "plugins.keys has no default"},
        {"[plugins]\nlisten = \"0.0.0.0:8890\"\n", "plugins.keys is missing"},
        {"[plugins]\nkeys = []\n", "plugins.keys is empty"},
        {"[plugins]\nkeys = [\"k\"]\n[ingest]\nlisten = \"[::]:8891\"\n", "ingest.token is required"},
        {"[plugins]\nkeys = [\"k\"]\n[falloff]\nnear_m = 12\n", "near_m must be below every range (whisper"},
        {"[plugins]\nkeys = [\"k\"]\nmin_plugin_version = \"new\"\n", "min_plugin_version must look like"},
        {"[plugins]\nkeys = [\"k\"]\n[falloff]\nunits_per_metre = 0\n", "units_per_metre must be above 0"},
        {"[plugins]\nkeys = [\"k\"\n", ""},  // not TOML: the parser's own message, with its line
    };
    for (const Case& c : cases) {
        const ConfigLoad l = parse(c.text);
        ASSERT_FALSE(l.ok()) << c.text;
        EXPECT_NE(errors_of(l).find(c.says), std::string::npos) << c.text << "\n" << errors_of(l);
    }
    const ConfigLoad with_token =
        parse("[plugins]\nkeys = [\"k\"]\n[ingest]\nlisten = \"0.0.0.0:8891\"\ntoken = \"t\"\n");
    EXPECT_TRUE(with_token.ok()) << errors_of(with_token);
}

TEST(ServerConfig, NumbersReadTheSameUnderADecimalCommaLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if (!comma && std::setlocale(LC_ALL, name)) comma = std::localeconv()->decimal_point[0] == ',';
    const ConfigLoad l = parse("[plugins]\nkeys = [\"k\"]\n[falloff]\nnear_m = 2.5\nranges = { normal = 40.25 }\n");
    std::setlocale(LC_ALL, saved.c_str());
    if (!comma) GTEST_SKIP() << "no decimal-comma locale; scripts/test.sh builds de_DE.UTF-8 and sets LOCPATH";
    ASSERT_TRUE(l.ok()) << errors_of(l);
    EXPECT_EQ(l.config.near_m, 2.5);
    EXPECT_EQ(l.config.ranges[0].metres, 40.25);
}

TEST(ServerConfig, ListenAddresses) {
    ListenAddress a;
    std::string why;
    ASSERT_TRUE(parse_listen_address("[::1]:8891", &a, &why));
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 8891);
    EXPECT_TRUE(is_loopback_host(a.host));
    EXPECT_TRUE(is_loopback_host("127.0.0.2"));
    EXPECT_FALSE(is_loopback_host("0.0.0.0"));
    for (const char* bad : {"8890", "host:", ":8890", "h:65536", "h:80x", "::1:8891", "[::1]8891"})
        EXPECT_FALSE(parse_listen_address(bad, &a, &why)) << bad;
}
