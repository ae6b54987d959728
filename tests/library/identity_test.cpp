// The ClientId and the link-code banner through the built library: the
// host's hash first, then the id file beside the library, then a new id
// that is stored there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testkit/fake_host.h"
#include "testkit/test_os.h"
#include "testkit/plugin_lib.h"

namespace pt = test_os;
namespace fs = std::filesystem;

namespace {
const std::string kHex40 = "0123456789abcdef0123456789abcdef01234567";
const std::string kStored32 = "  0123456789ABCDEF0123456789ABCDEF \r\n";
constexpr fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;

fs::path native(const std::string& utf8) { return fs::path(reinterpret_cast<const char8_t*>(utf8.c_str())); }

// The host's log lines but the one that says the key is missing: the tests
// run without a key, so that the worker connects nowhere.
std::vector<std::string> identity_lines() {
    std::vector<std::string> out;
    for (auto& l : FakeHost::get().log_lines())
        if (l.rfind("[quorra_link] proximity voice is off", 0) != 0) out.push_back(l);
    return out;
}

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::get().reset();
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
    void enable(MumbleApi t = FakeHost::get().table()) {
        ASSERT_EQ(lib.enable(5, &t), 0);
        enabled_ = true;
    }
    void sync_with_new_id() {  // the stored file then holds the new id and CRLF
        lib.onServerSynchronized(0);
        ASSERT_EQ(id_file().size(), 42u) << id_file();
        EXPECT_EQ(id_file().find_first_not_of("0123456789abcdef"), 40u) << id_file();
        EXPECT_EQ(id_file().substr(40), "\r\n");
        EXPECT_EQ(last_code(), id_file().substr(0, 8));
        EXPECT_FALSE(temp_left());
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
    std::string last_code() { return codes().empty() ? "<no banner>" : codes().back(); }
    // Owner-only, where this system keeps such mode bits on files at all.
    void expect_private() {
        std::error_code ec;
        pt::write_file(dir.file("mode.probe"), "x");
        fs::permissions(native(dir.file("mode.probe")), kPrivate, ec);
        const bool kept = fs::status(native(dir.file("mode.probe")), ec).permissions() == kPrivate;
        EXPECT_TRUE(!kept || fs::status(native(id_path())).permissions() == kPrivate);
    }

    PluginDir dir;
    PluginLib lib;
    bool enabled_ = false;
};
}  // namespace

TEST_F(Identity, WithoutAHostHashANewIdReplacesAnInvalidFileAndIsReused) {
    // A previous file that others may read is replaced whole and made private.
    ASSERT_TRUE(pt::write_file(id_path(), std::string(3000, 'z')));
    std::error_code ec;
    fs::permissions(native(id_path()), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read, ec);
    enable();
    sync_with_new_id();
    expect_private();
    const std::string stored = id_file(), rule = "[quorra_link] " + std::string(52, '-');
    const std::vector<std::string> banner{
        rule, "[quorra_link] Tolvanrix 0.1.0-alpha  -  proximity voice",
        "[quorra_link] To link your voice to your dino, open The Isle and",
        "[quorra_link] type this in chat (one time):   !verify " + stored.substr(0, 8), rule};
    const auto lines = identity_lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()), banner);

    // A rewrite would drop the line we add; every later synchronisation,
    // connected or after a disconnect, reads the id and leaves the file.
    ASSERT_TRUE(pt::write_file(id_path(), stored + "kept\n"));
    lib.onServerSynchronized(0);
    lib.onServerDisconnected(0);
    lib.onServerSynchronized(4);
    EXPECT_EQ(id_file(), stored + "kept\n");
    EXPECT_EQ(codes(), std::vector<std::string>(3, stored.substr(0, 8)));
}

TEST_F(Identity, TheHostsHashComesFirstAndAnEmptyOneFallsThrough) {
    FakeHost& h = FakeHost::get();
    enable();
    h.set_users({{1, "Ab12c"}});
    lib.onServerSynchronized(0);
    EXPECT_EQ(last_code(), "Ab12c");  // shorter than a link code: shown whole
    EXPECT_FALSE(pt::file_exists(id_path()));

    // An empty text or a null pointer from the host: the stored id serves.
    ASSERT_TRUE(pt::write_file(id_path(), kStored32));
    FakeUser null_hash{1, "unused"};
    null_hash.null_hash = true;
    for (const FakeUser& u : {FakeUser{1, ""}, null_hash}) {
        h.set_users({u});
        lib.onServerSynchronized(0);
        EXPECT_EQ(last_code(), "01234567");
    }
    EXPECT_EQ(codes().size(), 3u);
    EXPECT_EQ(id_file(), kStored32);
}

// The rules of the first line are the parser's (a unit test has them);
// here: files of every size and content are read by their first line only.
TEST_F(Identity, StoredIdFilesAreReadByTheirFirstLineOnly) {
    std::string binary, ten_mb;
    for (int i = 0; i < 600; ++i) binary += static_cast<char>((i * 37) & 0xFF);
    while (ten_mb.size() < (10u << 20)) ten_mb += "89abcdef01234567";
    struct Case {
        const char* what;
        std::string content, code;  // no code: a new id replaces the file
    } cases[] = {
        {"valid, then another line", kStored32 + "junk\n", "01234567"},
        {"10 MB of digits", ten_mb, "89abcdef"},
        {"empty", "", ""},
        {"binary", binary, ""},
        {"over-long, invalid first line", std::string(5000, 'x') + "\n" + kHex40, ""},
    };
    enable();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(pt::write_file(id_path(), c.content));
        if (c.code.empty()) {
            sync_with_new_id();
        } else {
            lib.onServerSynchronized(0);
            EXPECT_EQ(last_code(), c.code);
            EXPECT_TRUE(id_file() == c.content);
        }
        lib.onServerDisconnected(0);
    }
}

TEST_F(Identity, NoIdWithoutAConnectionOrALocalUser) {
    FakeHost& h = FakeHost::get();
    auto sync_logs = [&](int32_t connection) {
        const size_t before = identity_lines().size();
        lib.onServerSynchronized(connection);
        const auto lines = identity_lines();
        return std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end());
    };
    enable();
    EXPECT_TRUE(sync_logs(-1).empty());
    h.set_local_user(1, 6);
    EXPECT_EQ(sync_logs(0), std::vector<std::string>{"[quorra_link] failed to read local Mumble user id"});
    lib.shutdown();
    enabled_ = false;

    // A host without getLocalUserID: silence.
    MumbleApi t = h.table();
    t.getLocalUserID = nullptr;
    h.set_local_user(1, 0);
    enable(t);
    EXPECT_TRUE(sync_logs(0).empty());
    EXPECT_FALSE(pt::file_exists(id_path()));
}

TEST_F(Identity, AFailingRandomSourceFallsBackToTheTickAndProcessMix) {
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
    ASSERT_NE(lib.test_fail_random, nullptr);
    for (bool fail : {true, false}) {
        lib.test_fail_random(fail);
        pt::remove_tree(id_path());
        sync_with_new_id();
        EXPECT_EQ(mixed(id_file()), fail) << id_file();
    }
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
    // The player is told, once in this enable, not at each connection.
    size_t told = 0;
    for (const auto& l : identity_lines()) told += l.rfind("[quorra_link] cannot save the link code to ", 0) == 0;
    EXPECT_EQ(told, 1u);
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

// Someone who can write the plug-in's folder plants a link where the new id
// is first written: the link is removed, never written through.
TEST_F(Identity, ALinkPlantedAsTheTemporaryFileIsNotFollowed) {
    const std::string victim = dir.file("victim.txt");
    ASSERT_TRUE(pt::write_file(victim, "precious"));
    if (!pt::make_symlink(victim, id_path() + ".tmp")) GTEST_SKIP() << "no symbolic links here";
    enable();
    sync_with_new_id();
    expect_private();
    EXPECT_TRUE(pt::is_plain_file(id_path()));
    std::string kept;
    EXPECT_TRUE(pt::read_file(victim, &kept) && kept == "precious") << kept;
}

// Native only (Windows makes no FIFO in a folder): FIFOs in the place of the
// id file and the log block neither the init nor the synchronisation.
TEST_F(Identity, FifosInPlaceOfTheFilesBlockNothing) {
    for (const char* name : {"quorra_link.log", "quorra_link_client_id.txt"})
        if (!pt::make_fifo(dir.file(name))) GTEST_SKIP() << "no FIFOs here";
    enable();
    sync_with_new_id();  // the FIFO is replaced by the new id's file
    EXPECT_FALSE(pt::is_plain_file(dir.file("quorra_link.log")));
}
