// The plug-in as the host sees it: the enabling order, the "loaded" line,
// no host table, and repeated enable/disable on one loaded library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testkit/fake_host.h"
#include "testkit/test_os.h"
#include "testkit/plugin_lib.h"

namespace pt = test_os;

namespace {
class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::get().reset();
        pt::env_set("QUORRA_LINK_HOST", nullptr);
        pt::env_set("QUORRA_LINK_PORT", nullptr);
        std::string err;
        ASSERT_TRUE(lib.load(dir.lib_path, &err)) << err;
    }
    void TearDown() override { lib.unload(); }
    PluginDir dir{"quorra_link"};
    PluginLib lib;
};
}  // namespace

TEST_F(Shell, EnablingWithDefaultsWritesTheLoadedLine) {
    MumbleApi t = FakeHost::get().table();
    ASSERT_EQ(lib.enable(3, &t), 0);
    std::string expected = "[quorra_link] loaded version=0.1.0 config=" + dir.file("quorra_link.ini") +
                           " host=127.0.0.1 port=8890 enabled=1";
    EXPECT_TRUE(FakeHost::get().has_log_line(expected)) << expected;
    lib.shutdown();
}

TEST_F(Shell, WithoutAnApiTableEverythingStillAnswersAndTheFileGetsTheLine) {
    ASSERT_EQ(lib.enable(3, nullptr), 0);
    lib.onServerSynchronized(0);
    lib.onUserAdded(0, 5);
    float block[4] = {1, 1, 1, 1};
    EXPECT_TRUE(lib.onAudioSourceFetched(block, 2, 2, 48000, true, 5));
    EXPECT_EQ(block[0], 0.0f);  // nobody is listed: silence
    lib.onServerDisconnected(0);
    lib.shutdown();
    EXPECT_EQ(FakeHost::get().calls_log(), 0);
    std::string log;
    ASSERT_TRUE(pt::read_file(dir.file("quorra_link.log"), &log));
    EXPECT_NE(log.find("loaded version=0.1.0"), std::string::npos);
}

TEST_F(Shell, HundredEnableDisableCyclesStartFromTheDefaultsEachTime) {
    MumbleApi t = FakeHost::get().table();
    ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"), "# test\nserver_port=9100\n"));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(lib.enable(static_cast<uint32_t>(i + 1), &t), 0);
        lib.onServerSynchronized(i);
        lib.onServerDisconnected(i);
        lib.shutdown();
    }
    auto lines = FakeHost::get().log_lines();
    int loaded = 0;
    for (const auto& l : lines)
        if (l.find("loaded version=0.1.0") != std::string::npos) {
            ++loaded;
            EXPECT_NE(l.find("port=9100"), std::string::npos);
        }
    EXPECT_EQ(loaded, 100);
    // The file was only read: removing it gives the defaults again.
    pt::remove_tree(dir.file("quorra_link.ini"));
    ASSERT_EQ(lib.enable(200, &t), 0);
    EXPECT_NE(FakeHost::get().log_lines().back().find("port=8890"), std::string::npos);
    lib.shutdown();
    EXPECT_EQ(FakeHost::get().outstanding(), 0u);
}

// A player's profile may hold any letters: C:\Users\Jörg\... The library's
// own path, the configuration, the log and the id file all work there.
TEST(ShellNonAscii, PluginDirectoryWithNonAsciiCharacters) {
    FakeHost::get().reset();
    PluginDir dir{"quorra_link", "ql-J\xc3\xb6rg-\xe6\x97\xa5-"};
    ASSERT_NE(dir.dir.find("J\xc3\xb6rg"), std::string::npos);
    ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"), "# test\nserver_port=9123\napi_key=\n"));
    PluginLib lib;
    std::string err;
    ASSERT_TRUE(lib.load(dir.lib_path, &err)) << err;
    MumbleApi t = FakeHost::get().table();
    ASSERT_EQ(lib.enable(1, &t), 0);
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] loaded version=0.1.0 config=" +
                                             dir.file("quorra_link.ini") + " host=127.0.0.1 port=9123 enabled=1"));
    lib.onServerSynchronized(0);  // no host hash: a new id is stored beside the library
    lib.shutdown();
    lib.unload();
    std::string id, log;
    EXPECT_TRUE(pt::read_file(dir.file("quorra_link_client_id.txt"), &id));
    EXPECT_EQ(id.size(), 42u);
    EXPECT_TRUE(pt::read_file(dir.file("quorra_link.log"), &log));
    EXPECT_NE(log.find("loaded version=0.1.0"), std::string::npos);
}
