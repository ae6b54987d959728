// The two logging calls: entry shape in the file, the host line with its
// prefix, the 1023-character cut, literal percent signs, the switches, a log
// file that cannot be written, is no regular file or has another name, the
// bound of the two files, and runs of a repeated entry told in summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "testkit/fake_host.h"
#include "log/log.h"
#include "log/rotation.h"
#include "testkit/test_os.h"

namespace pt = test_os;
using Lines = std::vector<std::string>;

namespace {
class Log : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::get().reset();
        copy_text(sink.path, kPathField, path.c_str());
        sink.to_file = true;
        sink.host_log = FakeHost::get().table().log;
        sink.plugin_id = 3;
        sink.file_mutex = &file_mutex;
    }
    void TearDown() override {
        log_rotate_bytes_seam() = kLogRotateBytes;
        pt::remove_tree(dir);
    }
    // The messages of the file's entries, after checking each entry's shape:
    // "[YYYY-MM-DD hh:mm:ss] " message "\r\n".
    Lines entries(const std::string& file = "") {
        std::string all;
        pt::read_file(file.empty() ? path : file, &all);
        Lines out;
        for (size_t at = 0, end; at < all.size(); at = end + 2) {
            end = all.find("\r\n", at);
            std::string e = all.substr(at, end - at), stamp = e.substr(0, 22);  // no CRLF: the rest
            for (char& ch : stamp) ch = (ch >= '0' && ch <= '9') ? 'd' : ch;
            const bool ok = end != std::string::npos && stamp == "[dddd-dd-dd dd:dd:dd] " && e.find('\n') == e.npos;
            EXPECT_TRUE(ok) << "malformed entry: " << e.substr(0, 80);
            if (!ok) break;
            out.push_back(e.substr(22));
        }
        return out;
    }
    LogSink sink;
    std::mutex file_mutex;
    const std::string dir = pt::make_temp_dir("ql_log"), path = pt::join(dir, "quorra_link.log");
};
}  // namespace

TEST_F(Log, EntriesAreAppendedWholeAndOnlyTheHostLineIsCut) {
    ASSERT_TRUE(pt::write_file(path, "[2000-01-01 00:00:00] older\r\n"));
    file_log(sink, "falloff_connect_attempt host=%s port=%d", "h", 8890);
    file_log(sink, "n=%zu cut=%.*s", static_cast<size_t>(5), 3, "abcdef");
    const std::string big(3000, 'z'), cut(1023, 'm');
    file_log(sink, "%s", big.c_str());  // file_log alone does not cut
    EXPECT_EQ(FakeHost::get().calls_log(), 0);

    plugin_log(sink, "loaded %d%%", 100);
    plugin_log(sink, "%s", "50%d %s %n");  // the message itself is never a format again
    plugin_log(sink, "%s", std::string(2000, 'm').c_str());
    EXPECT_EQ(FakeHost::get().log_lines(),
              (Lines{"[quorra_link] loaded 100%", "[quorra_link] 50%d %s %n", "[quorra_link] " + cut}));
    EXPECT_EQ(entries(), (Lines{"older", "falloff_connect_attempt host=h port=8890", "n=5 cut=abc", big,
                                "loaded 100%", "50%d %s %n", cut}));
}

TEST_F(Log, SwitchesMissingHostAndUnwritableFile) {
    sink.to_file = false;
    file_log(sink, "hidden");
    plugin_log(sink, "seen %d", 1);
    EXPECT_FALSE(pt::file_exists(path));
    EXPECT_TRUE(FakeHost::get().has_log_line("[quorra_link] seen 1"));

    sink.to_file = true;
    sink.host_log = nullptr;  // a table without the log function: the file still gets it
    plugin_log(sink, "no log entry");
    sink.host_log = FakeHost::get().table().log;
    EXPECT_EQ(FakeHost::get().calls_log(), 1);
    EXPECT_EQ(entries(), Lines{"no log entry"});

    // No path, a path under a missing directory, a directory in the file's
    // place: nothing written anywhere, the host line still shown.
    for (std::string bad : {std::string(), pt::join(pt::join(dir, "missing"), "quorra_link.log"), dir}) {
        copy_text(sink.path, kPathField, bad.c_str());
        file_log(sink, "lost %d", 1);
        plugin_log(sink, "still shown");
    }
    EXPECT_FALSE(pt::file_exists(pt::join(dir, "missing")));
    EXPECT_EQ(FakeHost::get().calls_log(), 4);
    EXPECT_EQ(entries().size(), 1u);
}

TEST_F(Log, ConcurrentWritersNeverMixWithinAnEntry) {
    auto writer = [&](char c) {
        for (int i = 0; i < 200; ++i) file_log(sink, "%s", std::string(300, c).c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    Lines got = entries();
    ASSERT_EQ(got.size(), 400u);
    for (const std::string& m : got) EXPECT_TRUE(m == std::string(300, 'a') || m == std::string(300, 'b'));
}

TEST_F(Log, NoLinkFifoOrDeviceIsWrittenThrough) {
    const std::string victim = pt::join(dir, "victim.txt");
    ASSERT_TRUE(pt::write_file(victim, "precious"));
    std::string kept;
    // A hard link: the log's name is one of the victim's own.
    ASSERT_TRUE(pt::make_hard_link(victim, path));
    file_log(sink, "planted");
    EXPECT_TRUE(pt::read_file(victim, &kept) && kept == "precious") << kept;
    pt::remove_tree(path);
    if (!pt::make_symlink(victim, path)) GTEST_SKIP() << "no symbolic links here";
    file_log(sink, "planted");
    EXPECT_TRUE(pt::read_file(victim, &kept) && kept == "precious") << kept;
    pt::remove_tree(path);
    // Native only: a FIFO nobody reads would block an open for writing.
    if (!pt::make_fifo(path)) return;
    file_log(sink, "never waits");
    EXPECT_FALSE(pt::is_plain_file(path));
}

// Entries of exactly 1 MiB: four fill the file to its 4 MiB bound, the
// fifth starts a new file; then the older file is replaced, never grown.
TEST_F(Log, TheTwoFilesNeverPassEightMiB) {
    const std::string older = path + ".1";
    const std::string mib(size_t{1} << 20, 'x'), body = mib.substr(0, mib.size() - 24);
    for (int i = 0; i < 5; ++i) file_log(sink, "%s", body.c_str());
    EXPECT_EQ(entries(older).size(), 4u);
    EXPECT_EQ(entries().size(), 1u);

    log_rotate_bytes_seam() = 600;  // a few small entries per file from here
    pt::remove_tree(older);
    pt::remove_tree(path);
    for (int i = 0; i < 100; ++i) file_log(sink, "entry %03d %s", i, std::string(60, 'e').c_str());
    std::string a, b;
    ASSERT_TRUE(pt::read_file(older, &a) && pt::read_file(path, &b));
    EXPECT_LE(a.size(), 600u);
    EXPECT_LE(b.size(), 600u);
    // The newest entries, in order, the last one at the end.
    Lines kept = entries(older), current = entries();
    kept.insert(kept.end(), current.begin(), current.end());
    ASSERT_GE(kept.size(), 8u);
    for (size_t i = 0; i < kept.size(); ++i) {
        char want[16];
        std::snprintf(want, sizeof want, "entry %03zu", 100 - kept.size() + i);
        EXPECT_EQ(kept[i].substr(0, 9), want);
    }
}

TEST_F(Log, RepeatsOfARunEntryAreCountedAndToldOncePerSecond) {
    static uint32_t now;
    now = 0xFFFFFE00u;  // the clock wraps within the run
    RunSummary runs;
    runs.clock = [] { return now; };
    sink.runs = &runs;
    auto update = [&](size_t speakers, uint32_t after_ms) {
        now += after_ms;
        file_log_run(sink, "received %s with %zu speakers", "UPDATE2", speakers);
    };
    update(3, 0);                              // a new text: written at once
    for (int i = 0; i < 10; ++i) update(3, 100);  // the tenth comes a second later
    update(3, 10);
    update(3, 10);
    file_log(sink, "refreshed 2 Mumble user hashes");  // a pending count goes first
    update(3, 10);
    update(0, 10);  // another text ends the run
    update(0, 10);
    file_log_end_run(sink);  // the connection's end
    update(0, 10);           // a new connection: written at once
    const std::string three = "received UPDATE2 with 3 speakers", none = "received UPDATE2 with 0 speakers";
    EXPECT_EQ(entries(), (Lines{three, three + " (x10)", three + " (x2)", "refreshed 2 Mumble user hashes",
                                three + " (x1)", none, none + " (x1)", none}));
}
