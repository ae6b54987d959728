// The checker's verdict on an answer to HELLO against the plug-in's own: the
// built library with a fake host and the checker meet the same server, which
// answers in part, trickles or never ends its line, and then sends an
// update. What the checker calls accepted, the plug-in plays; what it calls
// refused, the plug-in does not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/falloff_fixture.h"
#include "tools/falloff_check/check.h"

namespace {
// The greeting's whole time, for the checker and the plug-in alike; long
// enough that a loaded machine's or Wine's loopback delays do not decide
// which part of a trickled answer came in time.
constexpr uint32_t kGreetingMs = 600;

// Answers every HELLO with steps of (pause in ms, bytes), then, once the
// greeting's time is over, with an update for Alice; holds each connection
// until its peer closes.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::pair<uint32_t, std::string>> steps) : steps_(std::move(steps)) {
        test_os::net_init();
        listener_ = test_os::listen_loopback(0, 4, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        test_os::close_sock(listener_);
    }
    uint16_t port() const { return port_; }

private:
    void run() {
        while (!stop_) {
            test_os::Sock c = test_os::accept_for(listener_, 50);
            if (c == test_os::kBad) continue;
            if (read_hello(c)) {
                const auto hello = std::chrono::steady_clock::now();
                for (const auto& [pause, bytes] : steps_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                    test_os::send_all(c, bytes.data(), bytes.size());
                }
                std::this_thread::sleep_until(hello + std::chrono::milliseconds(3 * kGreetingMs / 2));
                const std::string update = std::string("\nUPDATE2 ") + kAliceHash + " 0.5 0\n";
                test_os::send_all(c, update.data(), update.size());
                char sink[512];
                while (!stop_ && test_os::recv_for(c, sink, sizeof sink, 50) != 0) {
                }
            }
            test_os::close_sock(c);
        }
    }
    bool read_hello(test_os::Sock c) {
        char ch;
        while (test_os::recv_for(c, &ch, 1, 2000) == 1)
            if (ch == '\n') return true;
        return false;
    }

    std::vector<std::pair<uint32_t, std::string>> steps_;
    test_os::Sock listener_ = test_os::kBad;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class GreetingAsThePlugInTakesIt : public FalloffFixture {
protected:
    void SetUp() override {
        FalloffFixture::SetUp();
        if (!HasFatalFailure()) lib.test_timing()->receive_timeout_ms = kGreetingMs;
    }
    // Whether the plug-in took the answer: Alice's update plays.
    bool plug_in_accepts(const ScriptedServer& server) {
        EXPECT_TRUE(test_os::write_file(dir.file("quorra_link.ini"), "api_key=k3y\nserver_port=" +
                                                                          std::to_string(server.port()) +
                                                                          "\nreconnect_sec=2\n"));
        enable();
        synchronise();
        // The update comes 1.5 greetings' time after HELLO.
        const bool plays = eventually([&] { return factors(kAlice).first > 0.3f; }, 3 * kGreetingMs);
        shutdown();
        return plays;
    }
    static CheckResult check(const ScriptedServer& server) {
        CheckOptions o;
        o.host = "127.0.0.1";
        o.port = std::to_string(server.port());
        o.key = "k3y";
        o.greeting_ms = o.receive_timeout_ms = kGreetingMs;
        o.run_ms = 3 * kGreetingMs;
        return run_check(o);
    }
    static bool has(const CheckResult& r, const char* code) {
        for (const Finding& f : r.findings)
            if (f.code == code) return true;
        return false;
    }
};

TEST_F(GreetingAsThePlugInTakesIt, APartAnswerThatBeginsWithOkAccepts) {
    // "OK" and silence, and "OK welcome" a byte at a time past the deadline;
    // the update follows the greeting's time.
    std::vector<std::pair<uint32_t, std::string>> trickle;
    for (char c : std::string("OK welcome\n")) trickle.push_back({kGreetingMs / 6, std::string(1, c)});
    for (const auto& steps : {std::vector<std::pair<uint32_t, std::string>>{{0, "OK"}}, trickle}) {
        ScriptedServer server(steps);
        const CheckResult r = check(server);
        EXPECT_TRUE(r.greeted);
        EXPECT_TRUE(has(r, "greeting_unterminated")) << human_report({}, r);
        EXPECT_FALSE(r.has_error()) << human_report({}, r);  // the rest of the answer is no finding of its own
        EXPECT_EQ(r.updates, 1u);
        EXPECT_TRUE(plug_in_accepts(server)) << steps[0].second;
    }
}

TEST_F(GreetingAsThePlugInTakesIt, APartAnswerOtherwiseRefuses) {
    // Bytes that keep coming do not hold the deadline off.
    std::vector<std::pair<uint32_t, std::string>> trickle;
    for (int i = 0; i < 20; ++i) trickle.push_back({kGreetingMs / 8, "O"});
    for (const auto& steps : {std::vector<std::pair<uint32_t, std::string>>{{0, "ERR"}}, trickle}) {
        ScriptedServer server(steps);
        const CheckResult r = check(server);
        EXPECT_FALSE(r.greeted);
        ASSERT_FALSE(r.findings.empty());
        EXPECT_EQ(r.findings[0].code, "greeting_refused") << r.findings[0].message;
        EXPECT_FALSE(plug_in_accepts(server)) << steps[0].second;
    }
}
}  // namespace
