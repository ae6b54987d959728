// A reference falloff server: speaks the protocol from the server's side on
// a loopback port. The tests drive it in-process; tools/game_sim wraps
// it as a program that plays a scenario of timed lines.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testkit/test_os.h"

enum class HelloReply {
    ok,          // "OK\n" when the key matches, else "ERR bad key\n"
    error_line,  // always the refusal line, "ERR refused\n" unless set
    silent,      // never answers
    close,       // closes at once
    ping_first,  // sends "PING\n" instead of an answer
    ok_no_newline,  // "OK" without a line feed, then silence
};

// When the server accepted a client and when it saw that client close.
struct ClientTimes {
    std::chrono::steady_clock::time_point accepted;
    std::chrono::steady_clock::time_point peer_closed;  // epoch: not (yet) seen
};

class FalloffServer {
public:
    FalloffServer() = default;
    ~FalloffServer();

    // Listens on 127.0.0.1:port (0: any free port). backlog as given.
    bool start(uint16_t port = 0, int backlog = 8);
    void stop();
    uint16_t port() const { return port_; }

    void set_expected_key(const std::string& key);  // empty: any key
    void set_hello_reply(HelloReply r);
    void set_refusal(const std::string& line);      // the error_line reply, without its line feed
    void set_answer_ping(bool on);                  // "OK\n" to each PING (default on)
    // Off: clients queue up in the listener's backlog and are not accepted.
    void set_accepting(bool on);
    // Called for each accepted client once the greeting succeeded.
    void set_on_client(std::function<void(FalloffServer&)> fn);

    // To the current client. False when there is none or the send failed.
    bool send(const std::string& bytes);
    bool send_line(const std::string& line) { return send(line + "\n"); }
    void close_client();

    // What happened, for checks.
    int connections();       // clients accepted so far
    int accepted_hellos();   // greetings answered with OK
    std::vector<std::string> hellos();
    std::vector<std::string> lines();  // lines received after the greeting
    int pings_received();
    bool client_connected();
    std::vector<ClientTimes> timeline();  // one entry per accepted client

    // Waits up to timeout_ms for pred() to hold (checked on every event).
    bool wait_until(const std::function<bool()>& pred, uint32_t timeout_ms);

private:
    void run();
    void serve(test_os::Sock c);
    // One line from c into line; false on close, time-out or stop. A close
    // by the peer is noted in the timeline.
    bool read_line(test_os::Sock c, std::string* pending, std::string* line, uint32_t timeout_ms);
    void note();
    void note_peer_closed();

    test_os::Sock listener_ = test_os::kBad;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    std::mutex m_;
    std::condition_variable cv_;
    test_os::Sock client_ = test_os::kBad;
    std::string key_;
    HelloReply reply_ = HelloReply::ok;
    std::string refusal_ = "ERR refused";
    bool answer_ping_ = true;
    std::atomic<bool> accepting_{true};
    std::function<void(FalloffServer&)> on_client_;
    int connections_ = 0, accepted_ = 0, pings_ = 0;
    std::vector<std::string> hellos_, lines_;
    std::vector<ClientTimes> timeline_;
    std::mutex send_m_;
};
