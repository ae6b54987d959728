// Windows only: a program that holds the log open without letting it be
// moved (Windows' default sharing, which most editors and viewers use)
// keeps the bound from moving it; the plug-in appends meanwhile and moves it
// at the first entry after that program let go.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "testkit/fake_host.h"
#include "testkit/plugin_lib.h"
#include "testkit/test_os.h"

namespace pt = test_os;

TEST(WindowsLog, AFileHeldOpenIsMovedOnceItIsLetGo) {
    FakeHost& host = FakeHost::get();
    host.reset();
    host.set_local_user(1);
    host.set_users({{1, "0123456789abcdef0123456789abcdef01234567"}});
    PluginDir dir;
    PluginLib lib;
    std::string err;
    ASSERT_TRUE(lib.load(dir.lib_path, &err)) << err;
    ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"), "api_key=\n"));  // no connection
    lib.test_log_rotate_bytes(1000);
    MumbleApi table = host.table();
    ASSERT_EQ(lib.enable(5, &table), 0);
    const std::string log = dir.file("quorra_link.log"), older = log + ".1";
    auto size = [](const std::string& path) {
        std::string s;
        return pt::read_file(path, &s) ? s.size() : 0;
    };

    std::FILE* held = std::fopen(log.c_str(), "rb");  // shares reading and writing, not moving
    ASSERT_NE(held, nullptr);
    for (int i = 0; i < 5; ++i) lib.onServerSynchronized(0);  // banners, well past 1000 bytes
    EXPECT_FALSE(pt::file_exists(older));
    EXPECT_GT(size(log), 1000u);
    std::fclose(held);
    lib.onServerSynchronized(0);
    EXPECT_TRUE(pt::file_exists(older));
    EXPECT_GT(size(older), 1000u);
    EXPECT_LE(size(log), 1000u);

    lib.shutdown();
    lib.test_log_rotate_bytes(uint64_t{4} << 20);
    lib.unload();
}
