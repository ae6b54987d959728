// The user hash directory and the audio path through the built library: a
// real falloff server fills the speaker table, the fake host supplies users
// and hashes, and the audio entry point shows who is heard and how.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/falloff_fixture.h"

namespace {
std::string hash_of(int i) {
    char h[48];
    std::snprintf(h, sizeof h, "%040d", i);
    return h;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class DirectoryAudio : public FalloffFixture {
protected:
    // These tests ask who is heard at which level right after each change:
    // the glides are off, so each level holds from the next block on.
    void connect_and_greet() {
        write_ini("smoothing=0\npan_smoothing=0\n");
        enable();
        synchronise();
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() >= 1; }));
    }
    // Sends the one UPDATE2 line of a test and waits until it is applied.
    void update2(const std::string& payload) {
        ASSERT_TRUE(server.send_line("UPDATE2 " + payload));
        ASSERT_TRUE(eventually([&] { return log_has("received UPDATE2"); }));
    }
    size_t refreshes(const std::string& n) { return count_of(log_file(), "refreshed " + n + " Mumble user hashes"); }
    void expect_host_memory_settled() {
        EXPECT_EQ(FakeHost::get().outstanding(), 0u);
        EXPECT_EQ(FakeHost::get().bad_frees(), 0);
    }
};
}  // namespace

TEST_F(DirectoryAudio, HashesJoinWithoutRegardToCaseAndTheAudioPathLeavesHostAndLogAlone) {
    connect_and_greet();
    update2("aaaa000000000000000000000000000000000001 0.5 -1");  // the host's hash in other letter case
    EXPECT_TRUE(hears(kAlice, 0.5f, 0.0f));
    EXPECT_TRUE(hears(77, 0.0f, 0.0f));  // a user the host never named

    // The audio path neither calls the host nor writes the log.
    FakeHost& h = FakeHost::get();
    const int calls = h.calls_log() + h.calls_get_all_users() + h.calls_get_user_hash();
    const size_t log_size = log_file().size();
    std::vector<float> stereo(960, 1.0f);
    for (int i = 0; i < 1000; ++i) lib.onAudioSourceFetched(stereo.data(), 480, 2, 48000, true, i % 3 + 1);
    EXPECT_EQ(h.calls_log() + h.calls_get_all_users() + h.calls_get_user_hash(), calls);
    EXPECT_EQ(log_file().size(), log_size);
    expect_host_memory_settled();
}

TEST_F(DirectoryAudio, TheDirectoryFollowsTheHostsUserEvents) {
    FakeHost& h = FakeHost::get();
    const std::string carol = "cccc000000000000000000000000000000000004";
    const std::vector<FakeUser> three = {{1, kLocalHash}, {kAlice, kAliceHash}, {kBob, kBobHash}};
    connect_and_greet();
    update2(std::string(kBobHash) + " 1 1, " + carol + " 0.5 -1");
    EXPECT_TRUE(hears(kBob, 0.0f, 1.0f));

    // A user is announced before the host knows the hash: left out at
    // first, heard from the next event on.
    h.add_user({4, ""});
    lib.onUserAdded(0, 4);
    EXPECT_TRUE(hears(4, 0.0f, 0.0f));
    h.set_users(three);
    h.add_user({4, carol});
    lib.onChannelEntered(0, 4, 0, 1);
    EXPECT_TRUE(hears(4, 0.5f, 0.0f));

    // A failing user list, or success without an array, keeps what was known.
    const size_t logged = refreshes("4") + refreshes("3");
    h.set_all_users_result(9);
    lib.onUserRemoved(0, 4);
    h.set_all_users_result(0, true);
    lib.onUserRemoved(0, 4);
    EXPECT_TRUE(hears(4, 0.5f, 0.0f));
    EXPECT_TRUE(hears(kBob, 0.0f, 1.0f));
    EXPECT_EQ(refreshes("4") + refreshes("3"), logged);

    // The host's own removal takes the user out.
    h.set_all_users_result(0);
    h.set_users(three);
    lib.onUserRemoved(0, 4);
    EXPECT_TRUE(hears(4, 0.0f, 0.0f));
    EXPECT_TRUE(hears(kBob, 0.0f, 1.0f));

    // A user id listed twice resolves to its first hash.
    h.set_users({{kBob, carol}, {kBob, kBobHash}});
    lib.onUserAdded(0, kBob);
    EXPECT_TRUE(hears(kBob, 0.5f, 0.0f));

    // An empty user list empties the directory and still returns the array.
    h.set_users({});
    lib.onUserRemoved(0, kBob);
    EXPECT_TRUE(hears(kBob, 0.0f, 0.0f));
    EXPECT_EQ(refreshes("0"), 1u);
    expect_host_memory_settled();
}

TEST_F(DirectoryAudio, FiveHundredTwelveUsersWithHashesInTheHostsOrder) {
    // 700 users; the first 100 come without a usable hash in every way a
    // host can fail to give one; user 250 has an over-long hash.
    std::vector<FakeUser> users;
    const std::string long_hash = hash_of(250) + std::string(160, 'e');
    for (int i = 0; i < 700; ++i) {
        FakeUser u{static_cast<uint32_t>(1000 + i), i == 250 ? long_hash : i < 100 && i % 3 == 0 ? "" : hash_of(i)};
        u.null_hash = i < 100 && i % 3 == 1;
        if (i < 100 && i % 3 == 2) u.status = 5;
        users.push_back(u);
    }
    users.push_back({1, kLocalHash});
    FakeHost& h = FakeHost::get();
    h.set_users(users);
    connect_and_greet();

    const int asked = h.calls_get_user_hash();
    lib.onUserAdded(0, 1699);
    EXPECT_EQ(h.calls_get_user_hash() - asked, 612);
    EXPECT_GE(refreshes("512"), 2u);  // synchronisation and the event
    expect_host_memory_settled();

    update2(hash_of(100) + " 1 -1," + hash_of(611) + " 0.5 -1," + hash_of(612) + " 1 1," + hash_of(99) +
            " 1 1," + long_hash.substr(0, 127) + " 0.25 -1");
    EXPECT_TRUE(hears(1100, 1.0f, 0.0f));   // the first user with a hash
    EXPECT_TRUE(hears(1611, 0.5f, 0.0f));   // the 512th
    EXPECT_TRUE(hears(1612, 0.0f, 0.0f));   // beyond the cap
    EXPECT_TRUE(hears(1099, 0.0f, 0.0f));   // failed to give a hash
    EXPECT_TRUE(hears(1250, 0.25f, 0.0f));  // kept as its first 127 characters
}

TEST_F(DirectoryAudio, AFailingOrIncompleteHostIsNeverAskedOrLeaked) {
    FakeHost& h = FakeHost::get();
    // Events before any synchronisation find no connection.
    write_ini();
    MumbleApi t = h.table();
    t.getUserHash = nullptr;
    ASSERT_EQ(lib.enable(11, &t), 0);
    enabled_ = true;
    lib.onUserAdded(0, kAlice);
    synchronise();  // no getUserHash: neither an identity nor a directory
    lib.onChannelEntered(0, kAlice, 0, 1);
    EXPECT_EQ(h.calls_get_all_users(), 0);
    shutdown();

    // Every host call fails.
    h.set_api_status_override(13);
    enable();
    synchronise();
    lib.onUserAdded(0, kAlice);
    lib.onUserRemoved(0, kAlice);
    EXPECT_GE(h.calls_get_all_users(), 3);
    EXPECT_TRUE(hears(kAlice, 0.0f, 0.0f));
    expect_host_memory_settled();

    // Once disconnected, events leave the host alone.
    h.set_api_status_override(0);
    lib.onServerDisconnected(0);
    const int asked = h.calls_get_all_users();
    lib.onUserAdded(0, kAlice);
    EXPECT_EQ(h.calls_get_all_users(), asked);
}
