// The configuration record: defaults, the quorra_link.ini line rules and
// conversions, hostile files, the environment bounds, and number parsing
// that ignores the process's locale.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <memory>
#include <string>

#include "config/decimal.h"
#include "config/settings.h"
#include "falloff/speaker_table.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace pt = plat::testing;

namespace {
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&s, 0x5A, sizeof s);  // garbage that defaults must overwrite
        settings_defaults(&s);
        pt::env_set("QUORRA_LINK_HOST", nullptr);
        pt::env_set("QUORRA_LINK_PORT", nullptr);
    }
    void TearDown() override {
        pt::env_set("QUORRA_LINK_HOST", nullptr);
        pt::env_set("QUORRA_LINK_PORT", nullptr);
        if (!dir.empty()) pt::remove_tree(dir);
    }
    void apply(const std::string& line) {
        std::string copy = line;
        settings_apply_line(&s, copy.data());
    }
    std::string file(const std::string& bytes) {
        if (dir.empty()) dir = pt::make_temp_dir("ql_settings");
        std::string path = pt::join(dir, "quorra_link.ini");
        EXPECT_TRUE(pt::write_file(path, bytes));
        return path;
    }
    PluginSettings s;
    std::string dir;
};

// Sets a locale whose decimal separator is the comma for the life of the
// object; restores the previous one after.
class CommaLocale {
public:
    CommaLocale() {
        const char* prev = std::setlocale(LC_ALL, nullptr);
        saved_ = prev ? prev : "C";
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252",
                                 "de-DE", "German"}) {
            if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') {
                ok_ = true;
                return;
            }
        }
        std::setlocale(LC_ALL, saved_.c_str());
    }
    ~CommaLocale() { std::setlocale(LC_ALL, saved_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_ = false;
};
}  // namespace

TEST_F(Settings, DefaultsAndPaths) {
    EXPECT_STREQ(s.server_host, "127.0.0.1");
    EXPECT_EQ(s.server_port, 8890);
    EXPECT_STREQ(s.api_key, "REPLACE_THIS_API_KEY");
    EXPECT_EQ(s.enabled, 1);
    EXPECT_EQ(s.debug_log, 1);
    EXPECT_FLOAT_EQ(s.smoothing, 0.8f);
    EXPECT_FLOAT_EQ(s.pan_smoothing, 0.95f);
    EXPECT_EQ(s.reconnect_sec, 8);

    // The unit tests are linked into the executable, so that is "the library".
    settings_locate(&s);
    const std::string sep(1, plat::kPathSeparator);
    EXPECT_EQ(std::string(s.plugin_dir), pt::exe_dir());
    EXPECT_EQ(std::string(s.config_path), pt::exe_dir() + sep + "quorra_link.ini");
    EXPECT_EQ(std::string(s.log_path), pt::exe_dir() + sep + "quorra_link.log");
    EXPECT_EQ(std::string(s.client_id_path), pt::exe_dir() + sep + "quorra_link_client_id.txt");
}

TEST_F(Settings, LineSyntax) {
    apply("  \tSeRvEr_HoSt \t=  game.example  \r\n");
    EXPECT_STREQ(s.server_host, "game.example");
    apply("api_key = a b=c #d ;e ");  // inner blanks, '=', '#' belong to the value
    EXPECT_STREQ(s.api_key, "a b=c #d ;e");

    PluginSettings before = s;
    for (const char* ignored : {"[falloff]", "# server_port=1", "  ; server_port=2", "server_port 3", "",
                                "   \r\n", "=5", "unknown_key=7"})
        apply(ignored);
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);

    apply("server_port=1000");
    apply("server_port=2000");
    EXPECT_EQ(s.server_port, 2000);
    apply("server_host=");
    EXPECT_STREQ(s.server_host, "");

    apply("server_host=" + std::string(300, 'h'));
    EXPECT_EQ(std::string(s.server_host), std::string(255, 'h'));
}

TEST_F(Settings, ValueConversions) {
    struct Switch {
        const char* value;
        uint8_t expected;
    };
    for (Switch c : {Switch{"TRUE", 1}, {"yes", 1}, {"On", 1}, {"1", 1}, {"2", 0}, {"off", 0}, {"", 0},
                     {"true!", 0}}) {
        apply(std::string("enabled=") + c.value);
        EXPECT_EQ(s.enabled, c.expected) << c.value;
        apply(std::string("debug_log=") + c.value);
        EXPECT_EQ(s.debug_log, c.expected) << c.value;
    }

    struct Int {
        const char* value;
        int32_t port, reconnect;
    };
    for (Int c : {Int{"abc", 0, 1}, {"123abc", 123, 123}, {"99999", 99999, 99999}, {"0", 0, 1}, {"-5", -5, 1},
                  {"30", 30, 30}, {"+7", 7, 7}, {"99999999999999999999", INT_MAX, INT_MAX},
                  {"-99999999999999999999", INT_MIN, 1}}) {
        apply(std::string("server_port=") + c.value);
        EXPECT_EQ(s.server_port, c.port) << c.value;
        apply(std::string("reconnect_sec=") + c.value);
        EXPECT_EQ(s.reconnect_sec, c.reconnect) << c.value;
    }

    struct Unit {
        const char* value;
        float expected;
    };
    for (Unit c : {Unit{"1.7", 1.0f}, {"-0.3", 0.0f}, {"0.25", 0.25f}, {"abc", 0.0f}, {".5x", 0.5f},
                   {"2.5e-1", 0.25f}, {"1e999", 1.0f}, {"inf", 1.0f}, {"-inf", 0.0f}}) {
        apply(std::string("smoothing=") + c.value);
        EXPECT_FLOAT_EQ(s.smoothing, c.expected) << c.value;
        apply(std::string("pan_smoothing=") + c.value);
        EXPECT_FLOAT_EQ(s.pan_smoothing, c.expected) << c.value;
    }
}

TEST_F(Settings, ReadsFilesWhateverTheyHold) {
    // Missing: defaults stay.
    settings_read_file(&s, "/nonexistent-ql-dir/quorra_link.ini");
    EXPECT_EQ(s.server_port, 8890);
    // A directory in the file's place: nothing read, no hang.
    file("");
    settings_read_file(&s, dir.c_str());
    EXPECT_EQ(s.server_port, 8890);

    // CRLF endings, a last line without one, a byte-order mark that spoils the first key.
    settings_read_file(&s, file("\xEF\xBB\xBFserver_port=1\r\nenabled = off\r\n\r\napi_key=k").c_str());
    EXPECT_EQ(s.server_port, 8890);
    EXPECT_EQ(s.enabled, 0);
    EXPECT_STREQ(s.api_key, "k");

    // A line of more than 1023 bytes arrives as pieces, each a line of its own.
    std::string longline = "x=" + std::string(1021, 'y') + "server_port=1234\n";
    settings_read_file(&s, file(longline).c_str());
    EXPECT_EQ(s.server_port, 1234);

    // Binary noise (NULs, high bytes, lone CRs) around a good line.
    std::string noise;
    for (int i = 0; i < 5000; ++i) noise.push_back(static_cast<char>((i * 131 + 7) % 256));
    settings_read_file(&s, file(noise + "\nreconnect_sec=42\n" + noise).c_str());
    EXPECT_EQ(s.reconnect_sec, 42);

    // 10 MB without a line feed, then one setting: read through, the setting holds.
    settings_read_file(&s, file(std::string(10 << 20, 'a') + "\nserver_port=4242\n").c_str());
    EXPECT_EQ(s.server_port, 4242);
}

TEST_F(Settings, EnvironmentBoundsAndPrecedence) {
    settings_read_file(&s, file("server_host=from.file\nserver_port=1111\n").c_str());

    pt::env_set("QUORRA_LINK_HOST", "");
    pt::env_set("QUORRA_LINK_PORT", "");
    settings_read_environment(&s);
    EXPECT_STREQ(s.server_host, "from.file");
    EXPECT_EQ(s.server_port, 1111);

    pt::env_set("QUORRA_LINK_HOST", std::string(256, 'e').c_str());
    pt::env_set("QUORRA_LINK_PORT", (std::string(30, '0') + "77").c_str());  // 32 characters
    settings_read_environment(&s);
    EXPECT_STREQ(s.server_host, "from.file");
    EXPECT_EQ(s.server_port, 1111);

    pt::env_set("QUORRA_LINK_HOST", std::string(255, 'e').c_str());
    pt::env_set("QUORRA_LINK_PORT", (std::string(29, '0') + "77").c_str());  // 31 characters
    settings_read_environment(&s);
    EXPECT_EQ(std::string(s.server_host), std::string(255, 'e'));
    EXPECT_EQ(s.server_port, 77);

    pt::env_set("QUORRA_LINK_PORT", "80x");
    settings_read_environment(&s);
    EXPECT_EQ(s.server_port, 80);
}

// The host may run under a locale whose decimal separator is the comma; the
// file and the wire still use the full stop. Needs a comma locale installed
// (on Debian: the locales package and de_DE.UTF-8 generated by locale-gen).
TEST_F(Settings, FullStopIsTheSeparatorUnderACommaLocale) {
    CommaLocale comma;
    if (!comma.ok())
        GTEST_SKIP() << "no decimal-comma locale available; install one (e.g. de_DE.UTF-8 via locale-gen)";

    double d = 0;
    ASSERT_NE(parse_float_prefix("0.625 rest", &d), nullptr);
    EXPECT_EQ(d, 0.625);
    EXPECT_EQ(parse_double_or_zero("0,5"), 0.0);  // the comma ends the number

    apply("smoothing=0.25");
    EXPECT_FLOAT_EQ(s.smoothing, 0.25f);
    apply("pan_smoothing=0,75");
    EXPECT_FLOAT_EQ(s.pan_smoothing, 0.0f);

    auto t = std::make_unique<SpeakerTable>();
    build_speaker_table("abc 0.5 -0.25", UpdateKind::update2, t.get());
    ASSERT_EQ(t->count, 1u);
    EXPECT_FLOAT_EQ(t->entries[0].gain, 0.5f);
    EXPECT_FLOAT_EQ(t->entries[0].pan, -0.25f);
}
