#include "testkit/reference_server.h"

#include <chrono>

namespace pt = test_os;

FalloffServer::~FalloffServer() { stop(); }

bool FalloffServer::start(uint16_t port, int backlog) {
    pt::net_init();
    listener_ = pt::listen_loopback(port, backlog, &port_);
    if (listener_ == pt::kBad) return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void FalloffServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    pt::close_sock(listener_);
    listener_ = pt::kBad;
}

void FalloffServer::set_expected_key(const std::string& key) {
    std::lock_guard<std::mutex> g(m_);
    key_ = key;
}
void FalloffServer::set_hello_reply(HelloReply r) {
    std::lock_guard<std::mutex> g(m_);
    reply_ = r;
}
void FalloffServer::set_refusal(const std::string& line) {
    std::lock_guard<std::mutex> g(m_);
    refusal_ = line;
}
void FalloffServer::set_answer_ping(bool on) {
    std::lock_guard<std::mutex> g(m_);
    answer_ping_ = on;
}
void FalloffServer::set_accepting(bool on) { accepting_ = on; }
void FalloffServer::set_on_client(std::function<void(FalloffServer&)> fn) {
    std::lock_guard<std::mutex> g(m_);
    on_client_ = std::move(fn);
}

bool FalloffServer::send(const std::string& bytes) {
    std::lock_guard<std::mutex> s(send_m_);
    pt::Sock c;
    {
        std::lock_guard<std::mutex> g(m_);
        c = client_;
    }
    return c != pt::kBad && pt::send_all(c, bytes.data(), bytes.size());
}

// The serving thread notices within one read slice and closes the socket
// itself, so no descriptor is closed under a thread still waiting on it.
void FalloffServer::close_client() {
    std::lock_guard<std::mutex> s(send_m_);
    std::lock_guard<std::mutex> g(m_);
    client_ = pt::kBad;
    cv_.notify_all();
}

int FalloffServer::connections() {
    std::lock_guard<std::mutex> g(m_);
    return connections_;
}
int FalloffServer::accepted_hellos() {
    std::lock_guard<std::mutex> g(m_);
    return accepted_;
}
std::vector<std::string> FalloffServer::hellos() {
    std::lock_guard<std::mutex> g(m_);
    return hellos_;
}
std::vector<std::string> FalloffServer::lines() {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
}
int FalloffServer::pings_received() {
    std::lock_guard<std::mutex> g(m_);
    return pings_;
}
bool FalloffServer::client_connected() {
    std::lock_guard<std::mutex> g(m_);
    return client_ != pt::kBad;
}
std::vector<ClientTimes> FalloffServer::timeline() {
    std::lock_guard<std::mutex> g(m_);
    return timeline_;
}

bool FalloffServer::wait_until(const std::function<bool()>& pred, uint32_t timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
        g.unlock();
        bool ok = pred();
        g.lock();
        if (ok) return true;
        if (cv_.wait_until(g, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

void FalloffServer::note() { cv_.notify_all(); }

void FalloffServer::note_peer_closed() {
    std::lock_guard<std::mutex> g(m_);
    if (!timeline_.empty() && timeline_.back().peer_closed == std::chrono::steady_clock::time_point{})
        timeline_.back().peer_closed = std::chrono::steady_clock::now();
    note();
}

bool FalloffServer::read_line(pt::Sock c, std::string* pending, std::string* line, uint32_t timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t lf = pending->find('\n');
        if (lf != std::string::npos) {
            *line = pending->substr(0, lf);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending->erase(0, lf + 1);
            return true;
        }
        if (stop_ || std::chrono::steady_clock::now() >= deadline) return false;
        char buf[4096];
        long n = pt::recv_for(c, buf, sizeof buf, 20);
        if (n == -2) continue;
        if (n <= 0) {
            note_peer_closed();
            return false;
        }
        pending->append(buf, static_cast<size_t>(n));
    }
}

void FalloffServer::run() {
    while (!stop_) {
        if (!accepting_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pt::Sock c = pt::accept_for(listener_, 20);
        if (c == pt::kBad) continue;
        {
            std::lock_guard<std::mutex> g(m_);
            ++connections_;
            timeline_.push_back({std::chrono::steady_clock::now(), {}});
            note();
        }
        serve(c);
    }
}

void FalloffServer::serve(pt::Sock c) {
    std::string pending, line;
    HelloReply reply;
    std::string key, refusal;
    {
        std::lock_guard<std::mutex> g(m_);
        reply = reply_;
        key = key_;
        refusal = refusal_ + "\n";
    }
    if (reply == HelloReply::close) {
        pt::close_sock(c);
        return;
    }
    if (!read_line(c, &pending, &line, 10000)) {
        pt::close_sock(c);
        return;
    }
    bool key_ok = true;
    {
        std::lock_guard<std::mutex> g(m_);
        hellos_.push_back(line);
        if (!key.empty()) key_ok = line.rfind("HELLO " + key + " ", 0) == 0;
        note();
    }
    bool accepted = false;
    switch (reply) {
        case HelloReply::ok:
            accepted = key_ok;
            pt::send_all(c, key_ok ? "OK\n" : "ERR bad key\n", key_ok ? 3 : 12);
            break;
        case HelloReply::ok_no_newline:
            accepted = true;
            pt::send_all(c, "OK", 2);
            break;
        case HelloReply::error_line:
            pt::send_all(c, refusal.data(), refusal.size());
            break;
        case HelloReply::ping_first:
            pt::send_all(c, "PING\n", 5);
            break;
        default:
            break;
    }
    std::function<void(FalloffServer&)> on_client;
    {
        std::lock_guard<std::mutex> g(m_);
        client_ = c;
        if (accepted) ++accepted_;
        on_client = on_client_;
        note();
    }
    if (accepted && on_client) on_client(*this);
    // Exchange: answer PING, record everything, until the peer or we close.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (client_ == pt::kBad) {  // close_client() asked for it
                pt::close_sock(c);
                return;
            }
        }
        if (!read_line(c, &pending, &line, 50)) {
            if (stop_) break;
            char probe;
            long n = pt::recv_for(c, &probe, 1, 0);
            if (n == 0 || n == -1) {
                note_peer_closed();
                break;
            }
            if (n > 0) pending.push_back(probe);
            continue;
        }
        bool answer;
        {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(line);
            if (line == "PING") ++pings_;
            answer = answer_ping_ && line == "PING";
            note();
        }
        if (answer) send("OK\n");
    }
    std::lock_guard<std::mutex> s(send_m_);
    std::lock_guard<std::mutex> g(m_);
    if (client_ == c) {
        pt::close_sock(c);
        client_ = pt::kBad;
    }
    note();
}
