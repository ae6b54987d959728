// The checker with several connections at once against servers for many
// plug-ins: one that serves each connection on its own, one that sends to
// all in turn and so waits on a connection that stopped reading, and what
// each does with a second greeting of the same id.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "testkit/reference_server.h"
#include "testkit/test_os.h"
#include "tools/falloff_check/check.h"

namespace {
// An update of 150 speakers, about 8 KB.
std::string big_update() {
    std::string s = "UPDATE2";
    for (int i = 0; i < 150; ++i) {
        char item[64];
        std::snprintf(item, sizeof item, "%s %040d 0.5 0", i ? "," : "", i);
        s += item;
    }
    return s + "\n";
}

class CrowdServer {
public:
    enum class Sending { each_on_its_own, all_in_turn };
    enum class SameId { keep_both, refuse_newer, close_older };

    CrowdServer(Sending sending, SameId same) : sending_(sending), same_(same), update_(big_update()) {
        test_os::net_init();
        listener_ = test_os::listen_loopback(0, 16, &port_);
        accepting_ = std::thread([this] { accept_loop(); });
        if (sending_ == Sending::all_in_turn) senders_.emplace_back([this] { send_to_all(); });
    }
    ~CrowdServer() {
        stop_ = true;
        accepting_.join();  // then nothing starts more senders
        for (std::thread& t : senders_) t.join();  // the checker has closed every connection by now
        for (auto& c : clients_) test_os::close_sock(c->sock);
        test_os::close_sock(listener_);
    }
    uint16_t port() const { return port_; }

private:
    struct Client {
        test_os::Sock sock;
        std::string id;
        std::atomic<bool> dropped{false};
    };

    void accept_loop() {
        while (!stop_) {
            test_os::Sock c = test_os::accept_for(listener_, 20);
            if (c == test_os::kBad) continue;
            std::string hello;
            char ch;
            while (test_os::recv_for(c, &ch, 1, 1000) == 1 && ch != '\n') hello += ch;
            // HELLO key id {...}
            const size_t id_at = hello.find(' ', 6) + 1;
            auto client = std::make_shared<Client>();
            client->sock = c;
            client->id = hello.substr(id_at, hello.find(' ', id_at) - id_at);
            std::lock_guard<std::mutex> held(m_);
            bool refused = false;
            for (auto& other : clients_) {
                if (other->id != client->id || other->dropped) continue;
                if (same_ == SameId::refuse_newer) refused = true;
                if (same_ == SameId::close_older) other->dropped = true;
            }
            if (refused) {
                test_os::send_all(c, "ERR already connected\n", 22);
                test_os::close_sock(c);
                continue;
            }
            test_os::send_all(c, "OK\n", 3);
            // Loopback would otherwise queue megabytes for a connection
            // that does not read before a send waits.
            plat::net_limit_send_buffer(c, 16384);
            clients_.push_back(client);
            if (sending_ == Sending::each_on_its_own) senders_.emplace_back([this, client] { send_to(*client); });
        }
    }
    // A sender per connection: a blocked send blocks only that connection.
    void send_to(Client& c) {
        while (!stop_ && !c.dropped && test_os::send_all(c.sock, update_.data(), update_.size()))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (c.dropped) {
            test_os::close_sock(c.sock);
            c.sock = test_os::kBad;  // read again only after this thread is joined
        }
    }
    // One sender for all, each send waited for: the fault.
    void send_to_all() {
        while (!stop_) {
            std::vector<std::shared_ptr<Client>> now;
            {
                std::lock_guard<std::mutex> held(m_);
                now = clients_;
            }
            for (auto& c : now)
                if (!c->dropped && !test_os::send_all(c->sock, update_.data(), update_.size())) c->dropped = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    Sending sending_;
    SameId same_;
    const std::string update_;
    test_os::Sock listener_ = test_os::kBad;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::thread accepting_;
    std::vector<std::thread> senders_;  // the accept loop adds to them until it is joined
};

CheckOptions options(const CrowdServer& s) {
    CheckOptions o;
    o.host = "127.0.0.1";
    o.port = std::to_string(s.port());
    o.key = "k3y";
    o.run_ms = 2000;
    o.greeting_ms = 1000;  // answered at once; the room is for a loaded machine
    o.clients = 2;
    return o;
}

bool has(const CheckResult& r, const char* code) {
    for (const Finding& f : r.findings)
        if (f.code == code) return true;
    return false;
}

TEST(FalloffCheckClients, AServerThatWaitsOnAConnectionThatStoppedReadingIsNamed) {
    for (const auto sending : {CrowdServer::Sending::each_on_its_own, CrowdServer::Sending::all_in_turn}) {
        CrowdServer server(sending, CrowdServer::SameId::keep_both);
        CheckOptions o = options(server);
        o.stalled_client = true;
        const CheckResult r = run_check(o);
        ASSERT_EQ(r.clients.size(), 3u);
        EXPECT_TRUE(r.clients[2].stalled);
        EXPECT_GT(r.clients[2].unread_bytes, 0u);
        EXPECT_TRUE(r.clients[0].reported);
        EXPECT_NE(r.clients[0].id, r.clients[1].id);
        const bool stalls = sending == CrowdServer::Sending::all_in_turn;
        EXPECT_EQ(has(r, "stalls_on_slow_client"), stalls) << human_report(o, r);
        EXPECT_EQ(r.has_error(), stalls) << human_report(o, r);
    }
}

// The reference server serves one connection at a time: the second plug-in
// is not answered while the first is connected.
TEST(FalloffCheckClients, AServerThatServesOneAtATimeIsNamed) {
    FalloffServer server;
    server.set_on_client([](FalloffServer& s) { s.send_line("UPDATE2"); });
    ASSERT_TRUE(server.start());
    CheckOptions o;
    o.host = "127.0.0.1";
    o.port = std::to_string(server.port());
    o.key = "k3y";
    o.run_ms = 1200;
    o.greeting_ms = 600;
    o.clients = 2;
    const CheckResult r = run_check(o);
    server.stop();
    ASSERT_EQ(r.clients.size(), 2u);
    EXPECT_TRUE(r.clients[0].greeted);
    EXPECT_FALSE(r.clients[1].greeted);
    EXPECT_TRUE(has(r, "connection_not_served")) << human_report(o, r);
}

// The newest connection of an id is the live one: a server that refuses it
// leaves a reconnecting player silent; one that closes the older is right.
TEST(FalloffCheckClients, WhatTheServerDoesWithASecondGreetingOfTheSameId) {
    for (const auto same : {CrowdServer::SameId::close_older, CrowdServer::SameId::refuse_newer}) {
        CrowdServer server(CrowdServer::Sending::each_on_its_own, same);
        CheckOptions o = options(server);
        o.same_id = true;
        o.run_ms = 600;
        const CheckResult r = run_check(o);
        ASSERT_EQ(r.clients.size(), 2u);
        EXPECT_EQ(r.clients[0].id, r.clients[1].id);
        EXPECT_TRUE(r.clients[1].reported);
        if (same == CrowdServer::SameId::close_older) {
            EXPECT_GE(r.clients[0].closed_at_s, 0);
            EXPECT_FALSE(r.has_error()) << human_report(o, r);
        } else {
            ASSERT_FALSE(r.findings.empty());
            EXPECT_EQ(r.findings[0].code, "same_id_newest_dropped") << human_report(o, r);
            EXPECT_EQ(r.findings.size(), 1u) << human_report(o, r);  // the refusal is its effect
        }
    }
}
}  // namespace
