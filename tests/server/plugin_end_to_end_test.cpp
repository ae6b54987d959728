// The built plug-in, loaded through its exported functions by the fake host,
// against the real server: linked by a chat line with its banner's code, it
// applies the gain and pan the server computes from the posted world. Then
// the operators' checker against the same server, and links across a
// restart.
#include <gtest/gtest.h>

#include <cmath>

#include "server_fixture.h"
#include "testkit/fake_host.h"
#include "testkit/plugin_lib.h"
#include "tools/falloff_check/check.h"

namespace {

constexpr char kLocalHash[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kAliceHash[] = "AAAA000000000000000000000000000000000001";
constexpr char kBobHash[] = "bbbb000000000000000000000000000000000002";
constexpr uint32_t kAlice = 2, kBob = 3;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The world of these tests: the listener at the origin facing +x, Alice 5 m
// to the right (+y), Bob 20 m away to the left and up (12 m at -y, 16 m up).
json the_world() {
    return {{"players", {player("ana", 0, 0), player("alice", 0, 500), player("bob", 0, -1200, 1600)}}};
}

class PluginAgainstServer : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost& h = FakeHost::get();
        h.reset();
        h.set_local_user(1);
        h.set_users({{1, kLocalHash}, {kAlice, kAliceHash}, {kBob, kBobHash}});
        test_os::env_set("QUORRA_LINK_HOST", nullptr);
        test_os::env_set("QUORRA_LINK_PORT", nullptr);
    }
    void TearDown() override {
        if (enabled_) lib.shutdown();
        lib.unload();
        server.reset();
        test_os::remove_tree(dir);
    }
    void start_server(server::Config c) {
        server = std::make_unique<RunningServer>(std::move(c), time);
        ASSERT_TRUE(server->start());
    }
    // The plug-in, enabled and on a voice server, connecting to ours.
    void start_plugin() {
        std::string err;
        ASSERT_TRUE(lib.load(plugin_dir.lib_path, &err)) << err;
        WorkerTiming* t = lib.test_timing();
        t->receive_timeout_ms = 200;
        t->reconnect_unit_ms = 50;
        ASSERT_TRUE(test_os::write_file(plugin_dir.file("quorra_link.ini"),
                                        "api_key=k3y\nserver_host=127.0.0.1\nreconnect_sec=2\nserver_port=" +
                                            std::to_string(server->plugin_port()) + "\n"));
        MumbleApi table = FakeHost::get().table();
        ASSERT_EQ(lib.enable(11, &table), 0);
        enabled_ = true;
        lib.onServerSynchronized(0);
    }
    // The code the banner in the host's log window shows.
    std::string banner_code() {
        for (const std::string& line : FakeHost::get().log_lines()) {
            const size_t at = line.find("!verify ");
            if (at != std::string::npos) return line.substr(at + 8, 8);
        }
        return "";
    }
    // Alice and Bob's own plug-ins connect once, to be linked.
    void link_the_speakers() {
        link_as(*server, "alice", lower(kAliceHash));
        link_as(*server, "bob", lower(kBobHash));
    }
    // Whether the plug-in plays user's block at these factors (the server
    // sends three decimals).
    bool hears(uint32_t user, double left, double right) {
        float block[2] = {1.0f, 1.0f};
        lib.onAudioSourceFetched(block, 1, 2, 48000, true, user);
        return std::fabs(block[0] - left) < 2e-3 && std::fabs(block[1] - right) < 2e-3;
    }
    static double rounded(double v) { return std::round(v * 1000) / 1000; }

    std::string dir = test_os::make_temp_dir("ql-e2e-");
    SteppedTime time;
    std::unique_ptr<RunningServer> server;
    PluginDir plugin_dir;
    PluginLib lib;
    bool enabled_ = false;
};

}  // namespace

TEST_F(PluginAgainstServer, LinkedByItsBannersCodeItAppliesTheLinearCurveAndThePan) {
    start_server(test_config(dir));
    start_plugin();
    link_the_speakers();
    ASSERT_TRUE(eventually([&] { return server->status()["clients"].size() == 1; }));
    const std::string code = banner_code();
    ASSERT_EQ(code, std::string(kLocalHash).substr(0, 8));
    const json answer = server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify " + code}});
    ASSERT_EQ(answer, json({{"linked", true}, {"client_id", kLocalHash}}));
    ASSERT_EQ(server->post("/v1/world", the_world())["players"], 3);

    // Alice at 5 m: 1 - 3/38, all in the right ear. Bob at 20 m (in three
    // dimensions; 12 m on the ground): 1 - 18/38, all in the left.
    const double alice = rounded(1 - 3.0 / 38), bob = rounded(1 - 18.0 / 38);
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0, alice); })) << "alice";
    EXPECT_TRUE(eventually([&] { return hears(kBob, bob, 0); })) << "bob";

    // Turned round (yaw 180): the sides swap.
    json turned = the_world();
    turned["players"][0]["yaw"] = 180;
    server->post("/v1/world", turned);
    EXPECT_TRUE(eventually([&] { return hears(kAlice, alice, 0) && hears(kBob, 0, bob); }));
}

TEST_F(PluginAgainstServer, TheDecibelCurveAtChosenDistances) {
    server::Config c = test_config(dir);
    c.curve = server::Curve::db;
    start_server(c);
    start_plugin();
    link_the_speakers();
    ASSERT_TRUE(eventually([&] { return server->status()["clients"].size() == 1; }));
    ASSERT_TRUE(server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify " + banner_code()}})["linked"]);
    server->post("/v1/world", the_world());
    // -30 dB over the 38 m from near_m to the range: 3 m in is -2.37 dB
    // (0.761), 18 m in -14.2 dB (0.195).
    const double alice = rounded(std::pow(10.0, -30.0 * 3 / 38 / 20));
    const double bob = rounded(std::pow(10.0, -30.0 * 18 / 38 / 20));
    EXPECT_NEAR(alice, 0.761, 1e-9);
    EXPECT_NEAR(bob, 0.195, 1e-9);
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0, alice); })) << "alice";
    EXPECT_TRUE(eventually([&] { return hears(kBob, bob, 0); })) << "bob";
}

// A code typed before the plug-in connects links on its greeting.
TEST_F(PluginAgainstServer, ACodeTypedBeforeThePlugInConnectsLinksItOnArrival) {
    start_server(test_config(dir));
    link_the_speakers();
    server->post("/v1/world", the_world());
    const json early = server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify 01234567"}});
    EXPECT_EQ(early["pending"], true);
    start_plugin();
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0, rounded(1 - 3.0 / 38)); }));
}

TEST_F(PluginAgainstServer, TheCheckerFindsNothingToReport) {
    start_server(test_config(dir));
    link_the_speakers();
    server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify 01234567"}});  // the checker's id
    server->post("/v1/world", the_world());
    CheckOptions o;
    o.host = "127.0.0.1";
    o.port = std::to_string(server->plugin_port());
    o.key = "k3y";
    o.run_ms = 800;
    o.receive_timeout_ms = 200;
    o.ping_interval_ms = 300;
    const CheckResult r = run_check(o);
    ASSERT_TRUE(r.ran && r.greeted) << r.failure;
    EXPECT_TRUE(r.findings.empty()) << r.findings[0].code << ": " << r.findings[0].message;
    EXPECT_GE(r.updates, 10u);
    EXPECT_GE(r.pings_sent, 1u);
    ASSERT_EQ(r.last_update.size(), 2u);
    EXPECT_EQ(r.last_update[0].hash, lower(kAliceHash));
    EXPECT_NEAR(r.last_update[0].pan, 1.0f, 1e-6f);
}

// Links are on disk before "linked" is answered: a new server on the same
// store serves them, the plug-in reconnecting to it on its own.
TEST_F(PluginAgainstServer, LinksSurviveARestart) {
    server::Config c = test_config(dir);
    start_server(c);
    start_plugin();
    link_the_speakers();
    ASSERT_TRUE(eventually([&] { return server->status()["clients"].size() == 1; }));
    ASSERT_TRUE(server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify " + banner_code()}})["linked"]);
    const uint16_t port = server->plugin_port();
    server.reset();

    c.plugins_listen.port = port;  // where the plug-in comes back to
    ASSERT_TRUE(eventually([&] {
        server = std::make_unique<RunningServer>(c, time);
        return server->start();
    }));
    EXPECT_EQ(server->status()["links"], 3);
    server->post("/v1/world", the_world());
    EXPECT_TRUE(eventually([&] { return hears(kAlice, 0, rounded(1 - 3.0 / 38)); }, 10000));
}
