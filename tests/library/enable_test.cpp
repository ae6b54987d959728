// Enabling the plug-in while the host is on a server: Mumble calls init
// alone (ticking the plug-in, re-ticking it, reloading plug-ins) and sends no
// synchronisation for a connection that was up before, so init takes it up.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/falloff_fixture.h"

namespace {
size_t banners() {
    size_t n = 0;
    for (const auto& l : FakeHost::get().log_lines()) n += l.find("!verify 01234567") != std::string::npos;
    return n;
}
}  // namespace

using Enable = FalloffFixture;

TEST_F(Enable, WhileConnectedTakesTheConnectionUpAndDoesItOnce) {
    FakeHost& h = FakeHost::get();
    h.connect(0);
    h.synchronise();
    write_ini();
    enable();  // init alone
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }));
    EXPECT_EQ(banners(), 1u);
    ASSERT_TRUE(server.send_line(std::string("UPDATE2 ") + kAliceHash + " 0.5 -1"));
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0.5f, 0.0f); }));

    // Should a synchronisation for that same connection come after all,
    // nothing is done twice: no second banner, no second worker thread (the
    // server, serving one client at a time, would not see one), and the
    // link stays as it is.
    const int threads = test_os::thread_count();
    synchronise(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // past two reconnect pauses
    EXPECT_EQ(banners(), 1u);
    EXPECT_EQ(test_os::thread_count(), threads);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(hears(kAlice, 0.5f, 0.0f));

    // Unticked and ticked again while still on the server: a new session.
    shutdown();
    EXPECT_TRUE(eventually([&] { return !server.client_connected(); }));
    enable();
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 2; }));
    EXPECT_EQ(banners(), 2u);

    // After a disconnect, the next connection's synchronisation is taken
    // as always.
    lib.onServerDisconnected(0);
    h.connect(1);
    h.synchronise();
    synchronise(1);
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 3; }));
    EXPECT_EQ(banners(), 3u);
}

TEST_F(Enable, WhileConnectingWaitsForTheSynchronisation) {
    FakeHost& h = FakeHost::get();
    h.connect(0);  // not synchronised yet
    write_ini();
    enable();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(banners(), 0u);
    h.synchronise();
    synchronise(0);
    ASSERT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(banners(), 1u);
}

// A host that cannot answer (here every call times out, as Mumble's
// marshalling does) is taken as not connected.
TEST_F(Enable, AHostThatCannotAnswerCountsAsNotConnected) {
    FakeHost& h = FakeHost::get();
    h.connect(0);
    h.synchronise();
    h.set_api_status_override(kMumbleApiRequestTimeout);
    write_ini();
    enable();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(server.connections(), 0);
    EXPECT_FALSE(lib.test_worker_alive());
}
