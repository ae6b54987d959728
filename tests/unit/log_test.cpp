// The two logging calls: entry shape in the file, the host line with its
// prefix, the 1023-character cut, literal percent signs, the switches, and
// a log file that cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "log/log.h"
#include "platform/testing.h"
#include "plugin/state.h"

namespace pt = plat::testing;

namespace {
class Log : public ::testing::Test {
protected:
    void SetUp() override {
        saved_settings = g_state.settings;
        saved_host = g_state.host;
        FakeHost::get().reset();
        dir = pt::make_temp_dir("ql_log");
        path = pt::join(dir, "quorra_link.log");
        copy_text(g_state.settings.log_path, kPathField, path.c_str());
        g_state.settings.debug_log = 1;
        g_state.host.table = FakeHost::get().table();
        g_state.host.registered = 1;
    }
    void TearDown() override {
        g_state.settings = saved_settings;
        g_state.host = saved_host;
        pt::remove_tree(dir);
    }
    std::string contents() {
        std::string bytes;
        pt::read_file(path, &bytes);
        return bytes;
    }
    // The messages of the file's entries, after checking each entry's shape:
    // "[YYYY-MM-DD hh:mm:ss] " message "\r\n".
    std::vector<std::string> entries() {
        static const char shape[] = "[dddd-dd-dd dd:dd:dd] ";
        std::vector<std::string> out;
        std::string all = contents();
        size_t at = 0;
        while (at < all.size()) {
            size_t end = all.find("\r\n", at);
            std::string entry = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
            bool ok = end != std::string::npos && entry.size() >= sizeof shape - 1;
            for (size_t i = 0; ok && i < sizeof shape - 1; ++i)
                ok = shape[i] == 'd' ? (entry[i] >= '0' && entry[i] <= '9') : entry[i] == shape[i];
            if (!ok || entry.find('\n') != std::string::npos) {
                ADD_FAILURE() << "malformed entry: " << entry.substr(0, 80);
                break;
            }
            out.push_back(entry.substr(sizeof shape - 1));
            at = end + 2;
        }
        return out;
    }
    PluginSettings saved_settings;
    HostApi saved_host;
    std::string dir, path;
};
}  // namespace

TEST_F(Log, FileEntriesAreAppendedWholeWithTimeStampAndCrlf) {
    ASSERT_TRUE(pt::write_file(path, "[2000-01-01 00:00:00] older\r\n"));
    file_log("falloff_connect_attempt host=%s port=%d", "h", 8890);
    file_log("n=%zu cut=%.*s", static_cast<size_t>(5), 3, "abcdef");
    std::string big(3000, 'z');
    file_log("%s", big.c_str());  // file_log alone does not cut
    EXPECT_EQ(entries(), (std::vector<std::string>{"older", "falloff_connect_attempt host=h port=8890",
                                                   "n=5 cut=abc", big}));
    EXPECT_EQ(FakeHost::get().calls_log(), 0);
}

TEST_F(Log, PluginLogCutsPrefixesAndKeepsPercentSigns) {
    plugin_log("loaded %d%%", 100);
    plugin_log("%s", "50%d %s %n");  // the message itself is never a format again
    std::string long_msg(2000, 'm');
    plugin_log("%s", long_msg.c_str());

    std::string cut(1023, 'm');
    EXPECT_EQ(FakeHost::get().log_lines(), (std::vector<std::string>{"[quorra_link] loaded 100%",
                                                                     "[quorra_link] 50%d %s %n",
                                                                     "[quorra_link] " + cut}));
    EXPECT_EQ(entries(), (std::vector<std::string>{"loaded 100%", "50%d %s %n", cut}));
}

TEST_F(Log, SwitchesAndMissingHost) {
    g_state.settings.debug_log = 0;
    file_log("hidden");
    plugin_log("seen %d", 1);
    EXPECT_FALSE(pt::file_exists(path));
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] seen 1"));

    g_state.settings.debug_log = 1;
    g_state.host.table.log = nullptr;
    plugin_log("no log entry");
    g_state.host.table = FakeHost::get().table();
    g_state.host.registered = 0;
    plugin_log("not registered");
    EXPECT_EQ(FakeHost::get().calls_log(), 1);
    EXPECT_EQ(entries(), (std::vector<std::string>{"no log entry", "not registered"}));

    g_state.settings.log_path[0] = 0;
    file_log("nowhere");
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(Log, UnwritableLogFileChangesNothingForTheCaller) {
    // A path under a missing directory, and a directory in the file's place.
    for (std::string bad : {pt::join(pt::join(dir, "missing"), "quorra_link.log"), dir}) {
        copy_text(g_state.settings.log_path, kPathField, bad.c_str());
        file_log("lost %d", 1);
        plugin_log("still shown");
        EXPECT_FALSE(pt::file_exists(pt::join(dir, "missing")));
    }
    EXPECT_EQ(FakeHost::get().calls_log(), 2);
}

TEST_F(Log, ConcurrentWritersNeverMixWithinAnEntry) {
    auto writer = [](char c) {
        std::string msg(300, c);
        for (int i = 0; i < 200; ++i) file_log("%s", msg.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    std::vector<std::string> got = entries();
    ASSERT_EQ(got.size(), 400u);
    for (const std::string& m : got) EXPECT_TRUE(m == std::string(300, 'a') || m == std::string(300, 'b'));
}
