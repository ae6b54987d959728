// The plug-ins' port of the running server over real loopback sockets: the
// greeting and its refusals, PING, a client's second connection, the
// deadlines (the clock moved on, not waited for), and a client that stops
// reading.
#include <gtest/gtest.h>

#include "server/hello.h"
#include "server_fixture.h"

namespace {

const std::string kAna = "5eed1e55c0ffee00d15ea5e0123456789abcdef0";
const std::string kRex = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

class PluginSide : public ::testing::Test {
protected:
    void start(server::Config c, server::SessionLimits limits = {}) {
        server = std::make_unique<RunningServer>(std::move(c), time, limits);
        ASSERT_TRUE(server->start());
    }
    void start() { start(test_config(dir)); }
    void TearDown() override {
        server.reset();
        test_os::remove_tree(dir);
    }
    std::unique_ptr<PluginPeer> peer() {
        auto p = std::make_unique<PluginPeer>();
        EXPECT_TRUE(p->connect(server->plugin_port()));
        return p;
    }

    std::string dir = test_os::make_temp_dir("ql-server-");
    SteppedTime time;
    std::unique_ptr<RunningServer> server;
};

}  // namespace

TEST(Greeting, AnswersInPlainWords) {
    const std::vector<std::string> keys{"new-key", "old-key"};
    const std::string details = R"( {"version":"1.0","client":"tolvanrix","build":"0.1.0-alpha"})";
    auto check = [&](const std::string& line, const std::string& min = "") {
        return server::check_hello(line, keys, min);
    };
    EXPECT_EQ(check("HELLO new-key " + kAna + details).reply, "OK");
    EXPECT_EQ(check("HELLO old-key " + kAna + details).reply, "OK");  // during a rotation
    EXPECT_EQ(check("HELLO old-key " + kAna).client_id, kAna);        // the details are informational
    EXPECT_EQ(check("HELLO old-key 5EED1E55" + details).client_id, "5eed1e55");
    EXPECT_EQ(check("HELLO new-keyx " + kAna + details).reply, "ERR this server does not know that key");
    EXPECT_EQ(check("HELLO new-ke " + kAna + details).reply, "ERR this server does not know that key");
    EXPECT_EQ(check("HELLO new-key " + kAna + details, "0.2.0").reply,
              "ERR plug-in 0.1.0 is too old: ask your community for the new bundle");
    EXPECT_EQ(check("HELLO new-key " + kAna + details, "0.1.0").reply, "OK");
    EXPECT_EQ(check("HELLO new-key " + kAna, "0.1.0").reply,
              "ERR plug-in of an unknown version is too old: ask your community for the new bundle");
    const std::string malformed[] = {"PING", "HELLO new-key", "hello new-key " + kAna,
                                     "HELLO new-key not-hex" + details, "HELLO new-key " + std::string(128, 'a')};
    for (const std::string& bad : malformed) {
        const server::GreetingCheck g = check(bad);
        EXPECT_FALSE(g.accepted) << bad;
        EXPECT_EQ(g.refusal, "malformed") << bad;
    }
}

TEST_F(PluginSide, RefusedGreetingsAreAnsweredLoggedWithTheAddressAndClosed) {
    server::Config c = test_config(dir);
    c.min_plugin_version = "0.2.0";
    start(c);
    auto p = peer();
    EXPECT_EQ(p->greet(kAna, "wrong"), "ERR this server does not know that key");
    EXPECT_TRUE(p->closed_by_server());
    p = peer();
    EXPECT_EQ(p->greet(kAna), "ERR plug-in 0.1.0 is too old: ask your community for the new bundle");
    EXPECT_TRUE(p->closed_by_server());
    EXPECT_TRUE(server->logged("refused plug-in from 127.0.0.1"));
    EXPECT_FALSE(server->logged("wrong"));  // never a key in the log
    EXPECT_EQ(server->metrics().refused_key.load(), 1u);
    EXPECT_EQ(server->metrics().refused_version.load(), 1u);
}

TEST_F(PluginSide, PingIsAnsweredAndAnUnlinkedListenerHearsNobody) {
    start();
    auto p = peer();
    ASSERT_EQ(p->greet(kAna), "OK");
    EXPECT_EQ(p->read_line(), "UPDATE2");
    p->send_line("PING");
    bool ok = false;
    for (int i = 0; i < 50 && !ok; ++i) ok = p->read_line() == "OK";  // between the updates
    EXPECT_TRUE(ok);
}

TEST_F(PluginSide, ASecondConnectionOfTheSameClientReplacesTheFirst) {
    start();
    auto first = peer();
    ASSERT_EQ(first->greet(kAna), "OK");
    auto second = peer();
    std::string upper = kAna;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ASSERT_EQ(second->greet(upper), "OK");  // its letter case aside, the same id
    EXPECT_TRUE(first->closed_by_server());
    EXPECT_TRUE(second->read_line().has_value());
    const json s = server->status();
    ASSERT_EQ(s["clients"].size(), 1u) << s.dump();
    EXPECT_EQ(s["clients"][0]["client_id"], kAna);
}

TEST_F(PluginSide, DeadlinesGreetingFiveSecondsSilenceSixty) {
    start();
    auto mute = peer();           // never greets
    auto half = peer();           // half a greeting, never finished
    half->send_raw("HELLO k3y " + kAna.substr(0, 10));
    auto quiet = peer();          // greets, then never PINGs
    ASSERT_EQ(quiet->greet(kAna), "OK");
    auto talker = peer();         // greets and PINGs
    ASSERT_EQ(talker->greet(kRex), "OK");

    time.advance(std::chrono::milliseconds(5100));
    EXPECT_TRUE(mute->closed_by_server());
    EXPECT_TRUE(half->closed_by_server());
    EXPECT_FALSE(quiet->closed_by_server(300));
    time.advance(std::chrono::seconds(50));
    talker->send_line("PING");
    ASSERT_TRUE(eventually([&] { return talker->read_line(100) == "OK"; }));
    time.advance(std::chrono::seconds(10));
    EXPECT_TRUE(quiet->closed_by_server());
    EXPECT_FALSE(talker->closed_by_server(300));
    EXPECT_EQ(server->metrics().closed_silent.load(), 1u);
    EXPECT_EQ(server->metrics().closed_greeting_timeout.load(), 2u);
}

// A client that stops reading holds one line in the server and delays no
// one: the reading client gets every tick's line meanwhile, and the stuck one
// is closed once it has read nothing for 10 s.
TEST_F(PluginSide, AClientThatStopsReadingDelaysNobodyAndIsClosed) {
    server::Config c = test_config(dir);
    c.rate_hz = 100;
    {
        // A crowd linked beforehand (in the store, as a restart finds it),
        // so that every line is long and a stuck client's buffers fill fast.
        std::string error;
        auto store = server::LinkStore::open(c.store_path, &error);
        ASSERT_TRUE(store) << error;
        for (int i = 0; i < 150; ++i) {
            char id[41];
            std::snprintf(id, sizeof id, "%040x", i + 1);
            ASSERT_TRUE(store->put({"p" + std::to_string(i), id}, i, &error)) << error;
        }
        ASSERT_TRUE(store->put({"reader", kAna}, 1000, &error));
        ASSERT_TRUE(store->put({"stuck", kRex}, 1001, &error));
    }
    server::SessionLimits limits;
    limits.send_buffer = 8192;
    start(c, limits);
    json players = json::array({player("reader", 0, 0), player("stuck", 0, 0)});
    for (int i = 0; i < 150; ++i) players.push_back(player("p" + std::to_string(i), 10 * i, 100));
    ASSERT_EQ(server->post("/v1/world", {{"players", players}})["players"], 152);

    // The stuck client: a small receive window, and it never reads.
    asio::io_context io;
    asio::ip::tcp::socket stuck(io);
    stuck.open(asio::ip::tcp::v4());
    stuck.set_option(asio::socket_base::receive_buffer_size(4096));
    stuck.connect({asio::ip::make_address("127.0.0.1"), server->plugin_port()});
    const std::string hello = "HELLO k3y " + kRex + " {}\n";
    asio::write(stuck, asio::buffer(hello));

    auto reader = peer();
    ASSERT_EQ(reader->greet(kAna), "OK");
    std::atomic<bool> reading{true};
    std::atomic<int> lines{0};
    std::thread t([&] {
        while (reading)
            if (auto l = reader->read_line(100); l && l->rfind("UPDATE2 ", 0) == 0) ++lines;
    });
    struct Join {
        std::atomic<bool>& reading;
        std::thread& t;
        ~Join() {
            reading = false;
            t.join();
        }
    } join{reading, t};
    auto replaced = [&] {
        const json status = server->status();
        for (const json& cl : status["clients"])
            if (cl["client_id"] == kRex) return cl["lines_replaced"].get<int>();
        return -1;
    };
    ASSERT_TRUE(eventually([&] { return replaced() > 5; }, 20000)) << "the stuck client's lines never backed up";
    const uint64_t ticks = server->metrics().ticks.load();
    const int before = lines.load();
    ASSERT_TRUE(eventually([&] { return server->metrics().ticks.load() >= ticks + 30; }, 20000));
    EXPECT_TRUE(eventually([&] { return lines.load() >= before + 30; }, 20000))
        << "the reading client got " << lines.load() - before << " of 30 lines";

    time.advance(std::chrono::seconds(11));
    EXPECT_TRUE(eventually([&] { return replaced() == -1; })) << "the stuck client is still served";
    EXPECT_EQ(server->metrics().closed_slow_reader.load(), 1u);  // only the stuck one
    const int now = lines.load();
    EXPECT_TRUE(eventually([&] { return lines.load() >= now + 10; }, 20000));
}

TEST_F(PluginSide, ConnectionsBeyondTheCapPerAddressAreClosedAtOnceAndLoggedOnce) {
    server::Config c = test_config(dir);
    c.max_per_address = 2;
    start(c);
    auto a = peer(), b = peer(), over = peer(), more = peer();
    EXPECT_TRUE(over->closed_by_server());
    EXPECT_TRUE(more->closed_by_server());
    EXPECT_EQ(a->greet(kAna), "OK");
    EXPECT_EQ(b->greet(kRex), "OK");
    EXPECT_EQ(server->metrics().connections_capped.load(), 2u);
    EXPECT_EQ(server->log_count("refused connections from 127.0.0.1: that address holds plugins.max_per_address"), 1u);
    b.reset();  // a place comes free
    EXPECT_TRUE(eventually([&] {
        auto again = peer();
        return again->greet(kRex) == "OK";
    }));
}
