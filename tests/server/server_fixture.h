// The falloff server as the tests run it: the real App on a thread of its
// own, on loopback ports, with its store in a temporary directory and a clock
// that tests move on instead of waiting; plug-in peers over real sockets and
// the game side over real HTTP.
#pragma once
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/app.h"
#include "testkit/test_os.h"

using nlohmann::json;

// Real time, plus whatever the test moved it on by.
class SteppedTime : public server::TimeSource {
public:
    server::TimePoint now() const override {
        return server::Clock::now() + std::chrono::milliseconds(offset_ms_.load());
    }
    void advance(std::chrono::milliseconds by) { offset_ms_ += by.count(); }

private:
    std::atomic<int64_t> offset_ms_{0};
};

inline bool eventually(const std::function<bool()>& pred, uint32_t timeout_ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A configuration for loopback: any free ports, the key "k3y", 50 ticks a
// second, the store in dir.
inline server::Config test_config(const std::string& dir) {
    server::Config c;
    c.plugins_listen = {"127.0.0.1", 0};
    c.ingest_listen = {"127.0.0.1", 0};
    c.keys = {"k3y"};
    c.rate_hz = 50;
    c.store_path = test_os::join(dir, "links.sqlite3");
    return c;
}

class RunningServer {
public:
    RunningServer(server::Config config, SteppedTime& time, server::SessionLimits limits = {})
        : config_(std::move(config)), time_(time), limits_(limits) {}
    ~RunningServer() { stop(); }

    bool start() {
        log_.set_sink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_);
            lines_.push_back(line);
        });
        app_ = std::make_unique<server::App>(config_, time_, log_, limits_);
        std::string error;
        if (!app_->start(&error)) {
            ADD_FAILURE() << error;
            return false;
        }
        thread_ = std::thread([this] { app_->run(); });
        return true;
    }
    void stop() {
        if (!app_) return;
        app_->stop();
        if (thread_.joinable()) thread_.join();
        app_.reset();
    }
    uint16_t plugin_port() const { return app_->plugin_port(); }
    uint16_t ingest_port() const { return app_->ingest_port(); }
    server::Metrics& metrics() { return app_->metrics(); }
    bool logged(const std::string& text) { return log_count(text) > 0; }
    size_t log_count(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_);
        size_t n = 0;
        for (const std::string& l : lines_) n += l.find(text) != std::string::npos;
        return n;
    }

    // The game side. Status -1: no answer.
    std::pair<int, json> call(const std::string& method, const std::string& path, const std::string& body = "",
                              const std::string& token = "") {
        httplib::Client http("127.0.0.1", app_->ingest_port());
        httplib::Headers headers;
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
        httplib::Result r = method == "GET"    ? http.Get(path.c_str(), headers)
                            : method == "POST" ? http.Post(path.c_str(), headers, body, "application/json")
                                               : http.Delete(path.c_str(), headers);
        if (!r) return {-1, json()};
        return {r->status, json::parse(r->body, nullptr, false)};
    }
    json post(const std::string& path, const json& body) { return call("POST", path, body.dump()).second; }
    json status() { return call("GET", "/v1/status").second; }

private:
    server::Config config_;
    SteppedTime& time_;
    server::SessionLimits limits_;
    server::Log log_;
    std::unique_ptr<server::App> app_;
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> lines_;
};

// A plug-in as a raw loopback peer: greets, reads lines, answers nothing on
// its own.
class PluginPeer {
public:
    ~PluginPeer() { close(); }
    bool connect(uint16_t port) {
        s_ = test_os::connect_loopback(port);
        return s_ != test_os::kBad;
    }
    bool send_raw(const std::string& bytes) { return test_os::send_all(s_, bytes.data(), bytes.size()); }
    bool send_line(const std::string& line) { return test_os::send_all(s_, (line + "\n").data(), line.size() + 1); }
    // The next line, without its line feed; nullopt on close or time-out.
    std::optional<std::string> read_line(uint32_t timeout_ms = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf);
                buffer_.erase(0, lf + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            char chunk[16384];
            const long n = test_os::recv_for(s_, chunk, sizeof chunk, static_cast<uint32_t>(left.count()));
            if (n <= 0) {
                closed_ = n == 0 || n == -1;
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Greets with key and id; the server's answer.
    std::string greet(const std::string& id, const std::string& key = "k3y", const std::string& build = "0.1.0-alpha") {
        send_line("HELLO " + key + " " + id + R"( {"version":"1.0","client":"tolvanrix","build":")" + build +
                  R"(","features":["spatial"]})");
        return read_line().value_or("(nothing)");
    }
    // The next UPDATE2 line that passes pred.
    std::optional<std::string> update_where(const std::function<bool(const std::string&)>& pred,
                                            uint32_t timeout_ms = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            std::optional<std::string> l = read_line(timeout_ms);
            if (!l) return std::nullopt;
            if (l->rfind("UPDATE2", 0) == 0 && pred(*l)) return l;
        }
        return std::nullopt;
    }
    // True once the server has closed the connection (reading what is left).
    bool closed_by_server(uint32_t timeout_ms = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!closed_ && std::chrono::steady_clock::now() < end) read_line(50);
        return closed_;
    }
    void close() {
        if (s_ != test_os::kBad) test_os::close_sock(s_);
        s_ = test_os::kBad;
    }

private:
    test_os::Sock s_ = test_os::kBad;
    std::string buffer_;
    bool closed_ = false;
};

inline json player(const std::string& id, double x, double y, double z = 0, double yaw = 0) {
    return {{"id", id}, {"x", x}, {"y", y}, {"z", z}, {"yaw", yaw}};
}

// Links player to a client id by connecting as that client and typing its
// code; the client stays connected while the returned peer lives.
inline std::unique_ptr<PluginPeer> link_as(RunningServer& server, const std::string& player_id,
                                           const std::string& client_id) {
    auto peer = std::make_unique<PluginPeer>();
    EXPECT_TRUE(peer->connect(server.plugin_port()));
    EXPECT_EQ(peer->greet(client_id), "OK");
    const json r = server.post("/v1/chat", {{"id", player_id}, {"text", "!verify " + client_id.substr(0, 8)}});
    EXPECT_EQ(r.value("linked", false), true) << r.dump();
    return peer;
}
