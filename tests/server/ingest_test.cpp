// The game side's calls over real HTTP: the world and what it changes, bad
// worlds refused with a reason while the last good one stays, chat lines,
// status, unlinking, and the token.
#include <gtest/gtest.h>

#include "server/ingest.h"
#include "server_fixture.h"

namespace {

const std::string kAna = "5eed1e55c0ffee00d15ea5e0123456789abcdef0";
const std::string kRex = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

class Ingest : public ::testing::Test {
protected:
    void start(server::Config c) {
        server = std::make_unique<RunningServer>(std::move(c), time);
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        server.reset();
        test_os::remove_tree(dir);
    }
    std::string dir = test_os::make_temp_dir("ql-ingest-");
    SteppedTime time;
    std::unique_ptr<RunningServer> server;
};

bool lists(const std::string& line, const std::string& id) { return line.find(id) != std::string::npos; }

}  // namespace

TEST(ChatText, OnlyVerifyIsACommand) {
    EXPECT_EQ(server::verify_code_of("!verify 1f0c2a3b"), "1f0c2a3b");
    EXPECT_EQ(server::verify_code_of("  !VERIFY\t1F0C2A3B  thanks"), "1F0C2A3B");
    EXPECT_EQ(server::verify_code_of("!verify"), "");
    EXPECT_EQ(server::verify_code_of("!verifying 1f0c2a3b"), std::nullopt);
    EXPECT_EQ(server::verify_code_of("hello !verify 1f0c2a3b"), std::nullopt);
    EXPECT_EQ(server::verify_code_of(""), std::nullopt);
}

TEST_F(Ingest, TheWorldDecidesWhoHearsWhomAndABadWorldChangesNothing) {
    start(test_config(dir));
    auto rex = link_as(*server, "rex", kRex);
    auto ana = link_as(*server, "ana", kAna);
    const json world = {{"players", {player("ana", 0, 0), player("rex", 0, 500)}}};
    ASSERT_EQ(server->post("/v1/world", world)["players"], 2);
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2 " + kRex + " 0.921 1.000"; }));

    struct Bad {
        std::string body, says;
    } bad[] = {
        {"{\"players\": [", "not JSON"},
        {"[]", "expected {\"players\":[...]}"},
        {R"({"players":[{"id":"ana","x":0,"y":0,"z":0}]})", "players[0] (ana) has no \"yaw\""},
        {R"({"players":[{"id":"ana","x":1e300,"y":0,"z":0,"yaw":0}]})", "finite number"},
        {R"({"players":[{"id":"ana","x":0,"y":0,"z":0,"yaw":0,"range":"scream"}]})", "players[0] (ana): unknown range \"scream\""},
        {R"({"players":[{"id":"ana","x":0,"y":0,"z":0,"yaw":0,"alive":"yes"}]})", "\"alive\" must be true or false"},
        {R"({"players":[{"id":"a","x":0,"y":0,"z":0,"yaw":0},{"id":"a","x":0,"y":0,"z":0,"yaw":0}]})", "listed twice"},
        {R"({"players":[{"id":"ana","x":NaN,"y":0,"z":0,"yaw":0}]})", "not JSON"},
    };
    for (const Bad& b : bad) {
        const auto [status, answer] = server->call("POST", "/v1/world", b.body);
        EXPECT_EQ(status, 400) << b.body;
        EXPECT_NE(answer.value("error", "").find(b.says), std::string::npos) << b.body << " -> " << answer.dump();
    }
    EXPECT_EQ(server->status()["players"], 2);  // the last good world stays
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return lists(l, kRex); }));

    // Dead, out of range, a whisper: silence.
    server->post("/v1/world", {{"players", {player("ana", 0, 0), {{"id", "rex"}, {"x", 0}, {"y", 500}, {"z", 0},
                                                                  {"yaw", 0}, {"alive", false}}}}});
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2"; }));
    server->post("/v1/world", {{"players", {player("ana", 0, 0), {{"id", "rex"}, {"x", 0}, {"y", 1500}, {"z", 0},
                                                                  {"yaw", 0}, {"range", "whisper"}}}}});
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2"; }));
    // A listener who is dead, or not in the world, hears nobody.
    server->post("/v1/world", {{"players", {player("rex", 0, 500)}}});
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2"; }));
}

TEST_F(Ingest, ASpeakerIsHeardWhetherOrNotTheirPlugInIsConnectedUntilUnlinked) {
    start(test_config(dir));
    auto ana = link_as(*server, "ana", kAna);
    link_as(*server, "rex", kRex);  // rex's plug-in goes away at once
    server->post("/v1/world", {{"players", {player("ana", 0, 0, 0, 90), player("rex", 0, 500)}}});
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2 " + kRex + " 0.921 0.000"; }));
    EXPECT_EQ(server->call("DELETE", "/v1/links/rex").second, json({{"unlinked", true}}));
    EXPECT_EQ(server->call("DELETE", "/v1/links/rex").second, json({{"unlinked", false}}));
    EXPECT_TRUE(ana->update_where([](const std::string& l) { return l == "UPDATE2"; }));
}

TEST_F(Ingest, ChatAnswers) {
    start(test_config(dir));
    PluginPeer ana;
    ASSERT_TRUE(ana.connect(server->plugin_port()));
    ASSERT_EQ(ana.greet(kAna), "OK");
    EXPECT_EQ(server->post("/v1/chat", {{"id", "p1"}, {"text", "gg everyone"}}), json({{"linked", false}}));
    const json no_code = server->post("/v1/chat", {{"id", "p1"}, {"text", "!verify"}});
    EXPECT_FALSE(no_code["linked"]);
    EXPECT_TRUE(no_code.contains("reason"));
    const json linked = server->post("/v1/chat", {{"id", 76561198000000001ULL}, {"text", "!verify 5EED1E55"}});
    EXPECT_EQ(linked, json({{"linked", true}, {"client_id", kAna}}));
    const auto [status, error] = server->call("POST", "/v1/chat", R"({"text":"!verify 5eed1e55"})");
    EXPECT_EQ(status, 400);
    const json s = server->status();
    ASSERT_EQ(s["clients"].size(), 1u);
    EXPECT_EQ(s["clients"][0]["player"], "76561198000000001");
    EXPECT_EQ(s["clients"][0]["address"], "127.0.0.1");
    EXPECT_TRUE(s["clients"][0]["lines"].is_number());
    EXPECT_EQ(s["players"], 0);
    EXPECT_TRUE(s["world_age_ms"].is_null());
    EXPECT_EQ(s["rate_hz"], 50);
}

TEST_F(Ingest, WithATokenEveryCallNeedsIt) {
    server::Config c = test_config(dir);
    c.token = "s3cret";
    start(c);
    EXPECT_EQ(server->call("GET", "/v1/status").first, 401);
    EXPECT_EQ(server->call("GET", "/v1/status", "", "wrong").first, 401);
    EXPECT_EQ(server->call("POST", "/v1/world", R"({"players":[]})").first, 401);
    EXPECT_EQ(server->call("GET", "/v1/status", "", "s3cret").first, 200);
    EXPECT_EQ(server->call("GET", "/v1/nothing", "", "s3cret").first, 404);
}
