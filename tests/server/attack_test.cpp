// The server under attack, over real loopback sockets and HTTP: a thousand
// connections that never greet, a greeting trickled byte by byte, a 100 MB
// line, a PING flood, a reset, and game-side bodies that are too big or too
// many; each is closed or refused while a well-behaved plug-in beside it
// keeps getting its lines. Deadlines pass by moving the clock on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

const std::string kAna = "5eed1e55c0ffee00d15ea5e0123456789abcdef0";
const std::string kRex = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

// A connection from a chosen loopback address (127.0.0.0/8 is all this
// machine's), so the tests can play an attacker beside a player.
int connect_from(const char* source, uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Room for the thousand connections of a test and the server's ends of them.
void raise_descriptor_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < 4096) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

class Attack : public ::testing::Test {
protected:
    void start(server::Config c) {
        server = std::make_unique<RunningServer>(std::move(c), time);
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        for (int s : raw) ::close(s);
        server.reset();
        test_os::remove_tree(dir);
    }
    std::unique_ptr<PluginPeer> player_in_world(const std::string& player_id, const std::string& client_id) {
        auto p = link_as(*server, player_id, client_id);
        return p;
    }
    void post_world() {
        ASSERT_EQ(server->post("/v1/world", {{"players", {player("ana", 0, 0), player("rex", 0, 500)}}})["players"], 2);
    }
    // Ana's plug-in gets Rex's level within a few ticks.
    static bool served(PluginPeer& ana) {
        return ana.update_where([](const std::string& l) { return l.find(kRex) != std::string::npos; }, 3000)
            .has_value();
    }

    std::string dir = test_os::make_temp_dir("ql-attack-");
    SteppedTime time;
    std::unique_ptr<RunningServer> server;
    std::vector<int> raw;
};

}  // namespace

TEST_F(Attack, AThousandSilentConnectionsDoNotKeepAPlayerOut) {
    raise_descriptor_limit();
    server::Config c = test_config(dir);
    c.max_connections = 100;  // in all; 64 a single address may hold
    start(c);
    auto rex = player_in_world("rex", kRex);
    for (int i = 0; i < 1000; ++i) {
        const int s = connect_from("127.0.0.2", server->plugin_port());
        ASSERT_GE(s, 0) << "connection " << i;
        raw.push_back(s);
    }
    ASSERT_TRUE(eventually([&] { return server->metrics().connections_capped.load() == 1000 - 64; }, 20000))
        << server->metrics().connections_capped.load();
    // A refusal is counted just before its line is written.
    EXPECT_TRUE(eventually([&] { return server->log_count("refused connections from 127.0.0.2") > 0; }));
    EXPECT_EQ(server->log_count("refused connections from 127.0.0.2"), 1u);  // once, not 936 times

    // A player from elsewhere is served at once.
    auto ana = std::make_unique<PluginPeer>();
    ASSERT_TRUE(ana->connect(server->plugin_port()));
    ASSERT_EQ(ana->greet(kAna), "OK");
    ASSERT_EQ(server->post("/v1/chat", {{"id", "ana"}, {"text", "!verify 5eed1e55"}})["linked"], true);
    post_world();
    EXPECT_TRUE(served(*ana));

    // The cap in all: 35 more silent ones from a third address fill it; the
    // greeting deadline frees every place they hold.
    for (int i = 0; i < 40; ++i) raw.push_back(connect_from("127.0.0.3", server->plugin_port()));
    const std::string full = "refused connections from 127.0.0.3: the server holds plugins.max_connections";
    ASSERT_TRUE(eventually([&] {
        return server->metrics().greeting_now.load() == 64 + 100 - 64 - 2 &&
               server->metrics().connections_capped.load() == 1000 - 64 + 6 && server->log_count(full) > 0;
    }));
    EXPECT_EQ(server->log_count(full), 1u);
    time.advance(std::chrono::milliseconds(5100));
    ASSERT_TRUE(eventually([&] { return server->metrics().greeting_now.load() == 0; }));
    EXPECT_EQ(server->metrics().closed_greeting_timeout.load(), 98u);
    EXPECT_EQ(server->metrics().ready_now.load(), 2u);
    EXPECT_TRUE(served(*ana));

    // A minute on, the same address is logged again, once.
    time.advance(std::chrono::seconds(61));
    for (int i = 0; i < 70; ++i) raw.push_back(connect_from("127.0.0.2", server->plugin_port()));
    ASSERT_TRUE(eventually([&] { return server->log_count("refused connections from 127.0.0.2") == 2; }));
}

TEST_F(Attack, TrickledGreetingsLongLinesFloodsAndResetsAreClosedOrBounded) {
    start(test_config(dir));
    auto rex = player_in_world("rex", kRex);
    auto ana = player_in_world("ana", kAna);
    post_world();
    ASSERT_TRUE(served(*ana));

    // A greeting a byte at a time: the deadline counts from the connection,
    // not from the last byte.
    PluginPeer trickle;
    ASSERT_TRUE(trickle.connect(server->plugin_port()));
    ASSERT_TRUE(eventually([&] { return server->metrics().greeting_now.load() == 1; }));
    const std::string hello = "HELLO k3y " + std::string(kRex);
    for (size_t i = 0; i < 10; ++i) {
        ASSERT_TRUE(trickle.send_raw(hello.substr(i, 1)));
        time.advance(std::chrono::milliseconds(600));
    }
    EXPECT_TRUE(trickle.closed_by_server());

    // 100 MB without a line feed: closed after the first few kilobytes, so
    // the sender's writes fail long before the end.
    PluginPeer longline;
    ASSERT_TRUE(longline.connect(server->plugin_port()));
    const std::string chunk(1 << 20, 'A');
    size_t sent = 0;
    while (sent < 100 * chunk.size() && longline.send_raw(chunk)) sent += chunk.size();
    EXPECT_LT(sent, 100 * chunk.size());
    EXPECT_GE(server->metrics().closed_long_line.load(), 1u);
    EXPECT_TRUE(served(*ana));

    // The same from a greeted client.
    PluginPeer greeted_long;
    ASSERT_TRUE(greeted_long.connect(server->plugin_port()));
    ASSERT_EQ(greeted_long.greet("0badc0debeef00112233445566778899aabbccdd"), "OK");
    sent = 0;
    while (sent < 100 * chunk.size() && greeted_long.send_raw(chunk)) sent += chunk.size();
    EXPECT_LT(sent, 100 * chunk.size());
    EXPECT_GE(server->metrics().closed_long_line.load(), 2u);

    // Half a million PINGs, unread: closed as a flood; the few answers it
    // got before were one OK for many PINGs.
    PluginPeer flood;
    ASSERT_TRUE(flood.connect(server->plugin_port()));
    ASSERT_EQ(flood.greet("77777777aaaaaaaa55555555cccccccc33333333"), "OK");
    std::string pings;
    for (int i = 0; i < 50000; ++i) pings += "PING\n";
    for (int i = 0; i < 10 && flood.send_raw(pings); ++i) {
    }
    EXPECT_TRUE(served(*ana));
    int oks = 0;
    while (auto l = flood.read_line(300)) oks += *l == "OK";
    EXPECT_LE(oks, 200);
    EXPECT_TRUE(flood.closed_by_server());
    EXPECT_EQ(server->metrics().closed_flood.load(), 1u);

    // A reset: closed, counted and forgotten.
    {
        const int s = connect_from("127.0.0.1", server->plugin_port());
        ASSERT_GE(s, 0);
        const std::string line = "HELLO k3y feedfacecafe0123456789abcdefabcdef012345\n";
        ASSERT_EQ(::send(s, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
        ASSERT_TRUE(eventually([&] { return server->metrics().greetings_accepted.load() == 5; }));
        linger l{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(s);
    }
    EXPECT_TRUE(eventually([&] { return server->logged("plug-in feedfacecafe0123456789abcdefabcdef012345 from"); }));
    EXPECT_TRUE(served(*ana));
    trickle.close();
    longline.close();
    greeted_long.close();
    flood.close();
    EXPECT_TRUE(eventually([&] { return server->metrics().ready_now.load() == 2; }))
        << server->metrics().ready_now.load();
    EXPECT_EQ(server->metrics().greeting_now.load(), 0u);
}

TEST_F(Attack, OversizedBodiesAndWorldsAreRefusedWithAReasonAndTheLastWorldStays) {
    server::Config c = test_config(dir);
    c.token = "s3cret";
    start(c);
    const json good = {{"players", {player("ana", 0, 0), player("rex", 0, 500)}}};
    ASSERT_EQ(server->call("POST", "/v1/world", good.dump(), "s3cret").first, 200);

    // 50 MB of a world.
    std::string huge = R"({"players":[{"id":"x","x":0,"y":0,"z":0,"yaw":0,"pad":")";
    huge += std::string(50u << 20, 'p');
    huge += "\"}]}";
    auto [status, body] = server->call("POST", "/v1/world", huge, "s3cret");
    EXPECT_EQ(status, 413);
    EXPECT_NE(body.value("error", "").find("ingest.max_body_bytes"), std::string::npos) << body.dump();

    // 10 000 players: more than the server takes.
    json many = {{"players", json::array()}};
    for (int i = 0; i < 10000; ++i) many["players"].push_back(player("p" + std::to_string(i), i, 0));
    std::tie(status, body) = server->call("POST", "/v1/world", many.dump(), "s3cret");
    EXPECT_EQ(status, 400);
    EXPECT_NE(body.value("error", "").find("10000 players is more than this server takes"), std::string::npos)
        << body.dump();

    // Huge coordinates, and no token.
    std::tie(status, body) =
        server->call("POST", "/v1/world", R"({"players":[{"id":"a","x":1e308,"y":0,"z":0,"yaw":0}]})", "s3cret");
    EXPECT_EQ(status, 400);
    std::tie(status, body) = server->call("POST", "/v1/world", good.dump());
    EXPECT_EQ(status, 401);
    EXPECT_NE(body.value("error", "").find("Authorization: Bearer"), std::string::npos);

    std::tie(status, body) = server->call("GET", "/v1/status", "", "s3cret");
    EXPECT_EQ(body["players"], 2);  // the last good world
}

TEST_F(Attack, MetricsShowWhatTheServerDid) {
    start(test_config(dir));
    auto rex = player_in_world("rex", kRex);
    PluginPeer refused;
    ASSERT_TRUE(refused.connect(server->plugin_port()));
    EXPECT_EQ(refused.greet(kAna, "wrong"), "ERR this server does not know that key");
    post_world();
    ASSERT_TRUE(eventually([&] { return server->metrics().lines_sent.load() >= 5; }));

    httplib::Client http("127.0.0.1", server->ingest_port());
    const httplib::Result r = http.Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const std::string& page = r->body;
    for (const char* has : {"falloff_connections{state=\"ready\"} 1\n", "falloff_connections{state=\"greeting\"} 0\n",
                            "falloff_greetings_total{result=\"accepted\"} 1\n",
                            "falloff_greetings_total{result=\"refused\",reason=\"key\"} 1\n", "falloff_links 1\n",
                            "falloff_links_made_total 1\n", "# TYPE falloff_tick_seconds summary\n",
                            "falloff_lines_dropped_total 0\n", "# TYPE falloff_world_age_seconds gauge\n"})
        EXPECT_NE(page.find(has), std::string::npos) << has << "\n" << page;
    EXPECT_EQ(page.find("falloff_world_age_seconds -"), std::string::npos);  // a world was posted
}
