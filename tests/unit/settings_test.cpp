// The configuration record: defaults, the quorra_link.ini line rules and
// conversions, hostile files, the environment bounds, and number parsing
// that ignores the process's locale.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "falloff/speaker_table.h"
#include "testkit/test_os.h"

namespace pt = test_os;

namespace {
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&s, 0x5A, sizeof s);  // garbage that defaults must overwrite
        settings_defaults(&s);
    }
    void TearDown() override { pt::remove_tree(dir); }
    void apply(std::string line) { settings_apply_line(&s, line.data()); }
    void read(const std::string& bytes) {
        ASSERT_TRUE(pt::write_file(pt::join(dir, "quorra_link.ini"), bytes));
        settings_read_file(&s, pt::join(dir, "quorra_link.ini").c_str());
    }
    PluginSettings s;
    const std::string dir = pt::make_temp_dir("ql_settings");
};
}  // namespace

// Host, port and enabled defaults are checked end to end by the library tests.
TEST_F(Settings, DefaultsAndLineSyntax) {
    EXPECT_STREQ(s.api_key, "REPLACE_THIS_API_KEY");
    EXPECT_EQ(s.debug_log, 1);
    EXPECT_FLOAT_EQ(s.smoothing, 0.8f);
    EXPECT_FLOAT_EQ(s.pan_smoothing, 0.95f);
    EXPECT_EQ(s.reconnect_sec, 8);

    PluginSettings before = s;
    for (const char* ignored : {"[falloff]", "# server_port=1", "  ; server_port=2", "server_port 3", "",
                                "   \r\n", "=5", "unknown_key=7"})
        apply(ignored);
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);

    // Each line replaces what the one before set.
    struct Case { std::string line, host; } cases[] = {
        {"  \tSeRvEr_HoSt \t=  game.example  \r\n", "game.example"},
        {"server_host = a b=c #d ;e ", "a b=c #d ;e"},  // inner blanks, '=', '#' belong to the value
        {"server_host=", ""},
        {"server_host=" + std::string(300, 'h'), std::string(255, 'h')},
    };
    for (const Case& c : cases) {
        apply(c.line);
        EXPECT_EQ(std::string(s.server_host), c.host) << c.line.substr(0, 40);
    }
}

// Each value goes to two keys read by the same rule.
TEST_F(Settings, ValueConversions) {
    struct Switch { const char* value; uint8_t expected; };
    for (Switch c : {Switch{"TRUE", 1}, {"yes", 1}, {"On", 1}, {"1", 1}, {"2", 0}, {"off", 0}, {"", 0},
                     {"true!", 0}}) {
        for (const char* key : {"enabled", "debug_log"}) apply(key + std::string("=") + c.value);
        EXPECT_EQ(s.enabled, c.expected) << c.value;
        EXPECT_EQ(s.debug_log, c.expected) << c.value;
    }
    struct Int { const char* value; int32_t port, reconnect; };
    for (Int c : {Int{"abc", 0, 1}, {"123abc", 123, 123}, {"99999", 99999, 99999}, {"0", 0, 1}, {"-5", -5, 1},
                  {"30", 30, 30}, {"+7", 7, 7}, {"99999999999999999999", INT_MAX, INT_MAX},
                  {"-99999999999999999999", INT_MIN, 1}}) {
        for (const char* key : {"server_port", "reconnect_sec"}) apply(key + std::string("=") + c.value);
        EXPECT_EQ(s.server_port, c.port) << c.value;
        EXPECT_EQ(s.reconnect_sec, c.reconnect) << c.value;
    }
    struct Unit { const char* value; float expected; };
    for (Unit c : {Unit{"1.7", 1.0f}, {"-0.3", 0.0f}, {"0.25", 0.25f}, {"abc", 0.0f}, {".5x", 0.5f},
                   {"2.5e-1", 0.25f}, {"1e999", 1.0f}, {"inf", 1.0f}, {"-inf", 0.0f}}) {
        for (const char* key : {"smoothing", "pan_smoothing"}) apply(key + std::string("=") + c.value);
        EXPECT_FLOAT_EQ(s.smoothing, c.expected) << c.value;
        EXPECT_FLOAT_EQ(s.pan_smoothing, c.expected) << c.value;
    }
    // Not a number is ignored: the key keeps what it had.
    for (const char* key : {"smoothing", "pan_smoothing"}) apply(key + std::string("=0.25"));
    for (const char* nan : {"nan", "-NaN", "nan(7)"}) {
        for (const char* key : {"smoothing", "pan_smoothing"}) apply(key + std::string("=") + nan);
        EXPECT_FLOAT_EQ(s.smoothing, 0.25f) << nan;
        EXPECT_FLOAT_EQ(s.pan_smoothing, 0.25f) << nan;
    }
}

TEST_F(Settings, ReadsFilesWhateverTheyHold) {
    const PluginSettings before = s;
    settings_read_file(&s, dir.c_str());  // a directory in the file's place: nothing read, no hang
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);

    std::string noise;  // NULs, high bytes, lone CRs
    for (int i = 0; i < 5000; ++i) noise.push_back(static_cast<char>((i * 131 + 7) % 256));
    std::string head = "\xEF\xBB\xBF" "api_key=spoilt\r\n"          // a byte-order mark spoils the first key
                       "enabled = off\r\n\r\n"                      // CRLF endings
                       "x=" + std::string(1021, 'y') + "server_port=1234\n" +  // over 1023 bytes: read as pieces
                       "#" + std::string(1022, 'c') + "api_key=X\n" +  // but a comment's pieces stay comment,
                       std::string(1023, ' ') + ";" + std::string(1022, 'c') + "api_key=Y\n" +  // after blanks too
                       noise + "\nreconnect_sec=42\n" + noise + "\ndebug_log=0\n";  // noise around good lines
    // Only the first 1 MiB counts: its last line without LF, nothing after.
    const std::string last = "server_host=last";
    head.resize(kSettingsReadLimit - last.size() - 1, '#');
    read(head + "\n" + last + "server_host=beyond\n" + std::string(10 << 20, 'a'));
    EXPECT_STREQ(s.api_key, "REPLACE_THIS_API_KEY");
    EXPECT_EQ(s.enabled, 0);
    EXPECT_EQ(s.server_port, 1234);
    EXPECT_EQ(s.reconnect_sec, 42);
    EXPECT_EQ(s.debug_log, 0);
    EXPECT_STREQ(s.server_host, "last");
}

// Nothing but a regular file (or a link to one) is read, and a FIFO or a
// device in its place never blocks. Native only: Windows has neither here.
TEST_F(Settings, OnlyARegularFileIsReadAndNothingElseBlocks) {
    const std::string ini = pt::join(dir, "quorra_link.ini"), real = pt::join(dir, "real.ini"),
                      zero = pt::join(dir, "zero.ini");
    ASSERT_TRUE(pt::write_file(real, "server_port=4321\n"));
    if (!pt::make_symlink(real, ini)) GTEST_SKIP() << "no symbolic links here";
    settings_read_file(&s, ini.c_str());
    EXPECT_EQ(s.server_port, 4321);

    const PluginSettings before = s;
    pt::remove_tree(ini);
    if (!pt::make_fifo(ini) || !pt::make_symlink("/dev/zero", zero)) GTEST_SKIP() << "no FIFO or /dev/zero here";
    settings_read_file(&s, ini.c_str());   // no writer: an open that waits would wait for ever
    settings_read_file(&s, zero.c_str());  // endless zeros
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
}

TEST_F(Settings, EnvironmentBoundsAndPrecedence) {
    read("server_host=from.file\nserver_port=1111\n");
    const std::string port31 = std::string(29, '0') + "77", host255(255, 'e');
    struct Case { std::string host, port, want_host; int32_t want_port; } cases[] = {
        {"", "", "from.file", 1111},                                // empty: the file holds
        {std::string(256, 'e'), "0" + port31, "from.file", 1111},   // too long: ignored
        {host255, port31, host255, 77},                             // longest accepted
    };
    for (const Case& c : cases) {
        pt::env_set("QUORRA_LINK_HOST", c.host.c_str());
        pt::env_set("QUORRA_LINK_PORT", c.port.c_str());
        settings_read_environment(&s);
        EXPECT_EQ(std::string(s.server_host), c.want_host) << c.host.size() << " " << c.port;
        EXPECT_EQ(s.server_port, c.want_port) << c.host.size() << " " << c.port;
    }
    pt::env_set("QUORRA_LINK_HOST", nullptr);
    pt::env_set("QUORRA_LINK_PORT", nullptr);
}

// The host may run under a locale whose decimal separator is the comma; the
// file and the wire still use the full stop. Needs a comma locale
// (scripts/test.sh compiles de_DE.UTF-8 into build-locale and sets LOCPATH).
TEST_F(Settings, FullStopIsTheSeparatorUnderACommaLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    static SpeakerTable t;
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252", "de-DE",
                             "German"})
        if (!comma && std::setlocale(LC_ALL, name)) comma = std::localeconv()->decimal_point[0] == ',';
    if (comma) {
        apply("smoothing=0.25");
        apply("pan_smoothing=0,75");  // the comma ends the number
        build_speaker_table("abc 0.5 -0.25", UpdateKind::update2, &t);
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (!comma) GTEST_SKIP() << "no decimal-comma locale available; scripts/test.sh builds de_DE.UTF-8 into build-locale and sets LOCPATH";
    EXPECT_FLOAT_EQ(s.smoothing, 0.25f);
    EXPECT_FLOAT_EQ(s.pan_smoothing, 0.0f);
    ASSERT_EQ(t.count, 1u);
    EXPECT_FLOAT_EQ(t.entries[0].gain, 0.5f);
    EXPECT_FLOAT_EQ(t.entries[0].pan, -0.25f);
}
