// The ClientId and the link-code banner through the built library: the
// host's hash first, then the id file beside the library, then a new id
// that is stored there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fake_host.h"
#include "platform/testing.h"
#include "plugin_lib.h"

namespace pt = plat::testing;
namespace fs = std::filesystem;

namespace {
const std::string kRule(52, '-');
const std::string kUpper32 = "0123456789ABCDEF0123456789ABCDEF";

bool is_new_id(const std::string& s) {
    if (s.size() != 40) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

fs::path native(const std::string& utf8) { return fs::path(reinterpret_cast<const char8_t*>(utf8.c_str())); }

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::get().reset();
        FakeHost::get().set_local_user(1);
        pt::env_set("QUORRA_LINK_HOST", nullptr);
        pt::env_set("QUORRA_LINK_PORT", nullptr);
        std::string err;
        ASSERT_TRUE(lib.load(dir.lib_path, &err)) << err;
        // An empty key keeps the worker from connecting anywhere.
        ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"), "api_key=\n"));
        lib.test_timing()->reconnect_unit_ms = 20;
    }
    void TearDown() override {
        if (enabled_) lib.shutdown();
        if (lib.test_fail_random) lib.test_fail_random(false);
        lib.unload();
        EXPECT_EQ(FakeHost::get().outstanding(), 0u);
        EXPECT_EQ(FakeHost::get().bad_frees(), 0);
    }
    void enable(const MumbleApi* table = nullptr) {
        MumbleApi t = FakeHost::get().table();
        ASSERT_EQ(lib.enable(5, table ? table : &t), 0);
        enabled_ = true;
    }

    std::string id_path() const { return dir.file("quorra_link_client_id.txt"); }
    std::string id_file() const {
        std::string s;
        return pt::read_file(id_path(), &s) ? s : std::string("<none>");
    }
    bool temp_left() const { return pt::file_exists(id_path() + ".tmp"); }
    // Link codes of every banner printed so far, in order.
    std::vector<std::string> codes() {
        const std::string mark = "[quorra_link] type this in chat (one time):   !verify ";
        std::vector<std::string> out;
        for (const auto& l : FakeHost::get().log_lines())
            if (l.rfind(mark, 0) == 0) out.push_back(l.substr(mark.size()));
        return out;
    }
    std::string last_code() {
        auto c = codes();
        return c.empty() ? "<no banner>" : c.back();
    }
    std::vector<std::string> last_lines(size_t n) {
        auto l = FakeHost::get().log_lines();
        return l.size() < n ? l : std::vector<std::string>(l.end() - static_cast<long>(n), l.end());
    }
    // Whether this system keeps owner-only mode bits on files at all.
    bool modes_are_kept() {
        const fs::path probe = native(dir.file("mode.probe"));
        pt::write_file(dir.file("mode.probe"), "x");
        std::error_code ec;
        fs::permissions(probe, fs::perms::owner_read | fs::perms::owner_write, ec);
        const bool kept = !ec && fs::status(probe).permissions() == (fs::perms::owner_read | fs::perms::owner_write);
        fs::remove(probe, ec);
        return kept;
    }

    PluginDir dir;
    PluginLib lib;
    bool enabled_ = false;
};
}  // namespace

TEST_F(Identity, WithoutAHostHashANewIdIsStoredOnceAndReused) {
    enable();
    lib.onServerSynchronized(0);
    const std::string stored = id_file();
    ASSERT_EQ(stored.size(), 42u);
    const std::string id = stored.substr(0, 40);
    EXPECT_TRUE(is_new_id(id)) << id;
    EXPECT_EQ(stored.substr(40), "\r\n");
    EXPECT_FALSE(temp_left());
    EXPECT_EQ(last_lines(5), (std::vector<std::string>{
                                 "[quorra_link] " + kRule,
                                 "[quorra_link] Tolvanrix 0.1.0-alpha  -  proximity voice",
                                 "[quorra_link] To link your voice to your dino, open The Isle and",
                                 "[quorra_link] type this in chat (one time):   !verify " + id.substr(0, 8),
                                 "[quorra_link] " + kRule,
                             }));
    if (modes_are_kept()) {
        EXPECT_EQ(fs::status(native(id_path())).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }

    // A rewrite would drop the line we add; every later synchronisation,
    // connected or after a disconnect, reads the id and leaves the file.
    ASSERT_TRUE(pt::write_file(id_path(), stored + "kept\n"));
    lib.onServerSynchronized(0);
    lib.onServerDisconnected(0);
    lib.onServerSynchronized(4);
    EXPECT_EQ(id_file(), stored + "kept\n");
    EXPECT_EQ(codes(), std::vector<std::string>(3, id.substr(0, 8)));
}

TEST_F(Identity, TheHostsHashComesFirstAndAnEmptyOneFallsThrough) {
    FakeHost& h = FakeHost::get();
    h.set_users({{1, "Ab12c"}});
    enable();
    lib.onServerSynchronized(0);
    EXPECT_EQ(last_code(), "Ab12c");  // shorter than a link code: shown whole
    EXPECT_FALSE(pt::file_exists(id_path()));

    h.set_users({{1, "F00DFACE99887766"}});
    lib.onServerSynchronized(0);
    EXPECT_EQ(last_code(), "F00DFACE");

    // An empty text or a null pointer from the host: the stored id serves.
    const std::string file = "  " + kUpper32 + " \r\n";
    ASSERT_TRUE(pt::write_file(id_path(), file));
    h.set_users({{1, ""}});
    lib.onServerSynchronized(0);
    EXPECT_EQ(last_code(), "01234567");
    FakeUser null_hash{1, "unused"};
    null_hash.null_hash = true;
    h.set_users({null_hash});
    lib.onServerSynchronized(0);
    EXPECT_EQ(codes().size(), 4u);
    EXPECT_EQ(id_file(), file);
}

TEST_F(Identity, StoredIdFilesAreReadByTheirFirstLineOnly) {
    std::string binary;
    for (int i = 0; i < 600; ++i) binary += static_cast<char>((i * 37) & 0xFF);
    std::string ten_mb;
    ten_mb.reserve(10 << 20);
    while (ten_mb.size() < (10u << 20)) ten_mb += "89abcdef01234567";
    const std::string hex40 = "0123456789abcdef0123456789abcdef01234567";
    struct Case {
        const char* what;
        std::string content;
        std::string code;  // empty: a new id replaces the file
    } cases[] = {
        {"32 upper-case digits between blanks", "  " + kUpper32 + " \r\n" + "junk\n", "01234567"},
        {"10 MB of digits", ten_mb, "89abcdef"},
        {"200 digits", std::string(200, 'D'), "DDDDDDDD"},
        {"empty", "", ""},
        {"binary", binary, ""},
        {"byte order mark", "\xEF\xBB\xBF" + hex40 + "\r\n", ""},
        {"blank inside", hex40.substr(0, 20) + " " + hex40.substr(20) + "\r\n", ""},
        {"31 digits", kUpper32.substr(1) + "\r\n", ""},
        {"valid only on the second line", "\r\n" + hex40 + "\r\n", ""},
        {"over-long, invalid first line", std::string(5000, 'x') + "\n" + hex40, ""},
    };
    enable();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(pt::write_file(id_path(), c.content));
        lib.onServerSynchronized(0);
        const std::string now = id_file();
        if (!c.code.empty()) {
            EXPECT_EQ(last_code(), c.code);
            EXPECT_TRUE(now == c.content);
        } else {
            ASSERT_EQ(now.size(), 42u);
            EXPECT_TRUE(is_new_id(now.substr(0, 40)));
            EXPECT_EQ(last_code(), now.substr(0, 8));
        }
        EXPECT_FALSE(temp_left());
        lib.onServerDisconnected(0);
    }
}

TEST_F(Identity, APreviousFileIsReplacedWholeAndMadePrivate) {
    ASSERT_TRUE(pt::write_file(id_path(), std::string(3000, 'z')));
    std::error_code ec;
    fs::permissions(native(id_path()), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read, ec);
    enable();
    lib.onServerSynchronized(0);
    EXPECT_EQ(id_file().size(), 42u);
    EXPECT_FALSE(temp_left());
    if (modes_are_kept()) {
        EXPECT_EQ(fs::status(native(id_path())).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }
}

TEST_F(Identity, NoIdWithoutAConnectionOrALocalUser) {
    FakeHost& h = FakeHost::get();
    enable();
    const size_t loaded = h.log_lines().size();
    lib.onServerSynchronized(-1);
    EXPECT_EQ(h.log_lines().size(), loaded);

    h.set_local_user(1, 6);
    lib.onServerSynchronized(0);
    EXPECT_EQ(last_lines(1), std::vector<std::string>{"[quorra_link] failed to read local Mumble user id"});
    EXPECT_TRUE(codes().empty());
    EXPECT_FALSE(pt::file_exists(id_path()));
    lib.shutdown();
    enabled_ = false;

    // A host without getLocalUserID: silence.
    MumbleApi t = h.table();
    t.getLocalUserID = nullptr;
    h.set_local_user(1, 0);
    enable(&t);
    const size_t before = h.log_lines().size();
    lib.onServerSynchronized(0);
    EXPECT_EQ(h.log_lines().size(), before);
    EXPECT_FALSE(pt::file_exists(id_path()));
}

TEST_F(Identity, AFailingRandomSourceFallsBackToTheTickAndProcessMix) {
    ASSERT_NE(lib.test_fail_random, nullptr);
    // The mix repeats the tick and process bytes every four bytes, so
    // byte i and byte i + 4 differ by exactly 37 * i and 37 * (i + 4).
    auto mixed = [](const std::string& hex) {
        for (int i = 0; i + 4 < 20; ++i) {
            int a = std::stoi(hex.substr(2 * i, 2), nullptr, 16);
            int b = std::stoi(hex.substr(2 * (i + 4), 2), nullptr, 16);
            if ((a ^ b) != (((37 * i) ^ (37 * (i + 4))) & 0xFF)) return false;
        }
        return true;
    };
    enable();
    lib.test_fail_random(true);
    lib.onServerSynchronized(0);
    std::string id = id_file().substr(0, 40);
    EXPECT_TRUE(is_new_id(id));
    EXPECT_TRUE(mixed(id)) << id;

    lib.test_fail_random(false);
    pt::remove_tree(id_path());
    lib.onServerSynchronized(0);
    id = id_file().substr(0, 40);
    EXPECT_TRUE(is_new_id(id));
    EXPECT_FALSE(mixed(id)) << id;
}

TEST_F(Identity, AnUnwritableIdFileGivesANewIdEachTime) {
    enable();
    // A directory where the file should be cannot be read as one or replaced.
    std::error_code ec;
    ASSERT_TRUE(fs::create_directory(native(id_path()), ec));
    lib.onServerSynchronized(0);
    lib.onServerSynchronized(0);
    auto c = codes();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_NE(c[0], c[1]);
    EXPECT_TRUE(fs::is_directory(native(id_path())));
    EXPECT_FALSE(temp_left());
    fs::remove(native(id_path()), ec);

    if (!pt::make_read_only_dir(dir.dir)) GTEST_SKIP() << "cannot make a read-only directory here";
    lib.onServerSynchronized(0);
    lib.onServerSynchronized(0);
    c = codes();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_NE(c[2], c[3]);
    EXPECT_FALSE(pt::file_exists(id_path()));
    EXPECT_FALSE(temp_left());
}
