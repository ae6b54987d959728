// A plug-in with its worker shortened to test speed, a fake host with a
// local user and two remote users, and a reference falloff server on a
// loopback port.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

#include "testkit/fake_host.h"
#include "testkit/test_os.h"
#include "testkit/plugin_lib.h"
#include "testkit/reference_server.h"

constexpr char kLocalHash[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kAliceHash[] = "AAAA000000000000000000000000000000000001";
constexpr char kBobHash[] = "bbbb000000000000000000000000000000000002";
constexpr uint32_t kAlice = 2, kBob = 3;

inline bool eventually(const std::function<bool()>& pred, uint32_t timeout_ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

class FalloffFixture : public ::testing::Test {
protected:
    // base: the library to load; port: where the server listens (0: any
    // free port).
    explicit FalloffFixture(const std::string& base = "quorra_link_test", uint16_t port = 0)
        : dir(base), port_(port) {}

    void SetUp() override {
        FakeHost& h = FakeHost::get();
        h.reset();
        h.set_local_user(1);
        h.set_users({{1, kLocalHash}, {kAlice, kAliceHash}, {kBob, kBobHash}});
        test_os::env_set("QUORRA_LINK_HOST", nullptr);
        test_os::env_set("QUORRA_LINK_PORT", nullptr);
        // A fixed port may be held for a moment by the same test of another
        // build or checkout.
        ASSERT_TRUE(eventually([&] { return server.start(port_); }, port_ ? 20000 : 0)) << "port " << port_;
        std::string err;
        ASSERT_TRUE(lib.load(dir.lib_path, &err)) << err;
        ASSERT_NE(lib.test_timing, nullptr);
        WorkerTiming* t = lib.test_timing();
        t->receive_timeout_ms = 200;
        t->send_timeout_ms = 500;
        t->ping_interval_ms = 60000;
        t->refresh_interval_ms = 60000;
        t->reconnect_unit_ms = 50;  // reconnect_sec=2 -> 100 ms
    }
    void TearDown() override {
        if (enabled_) lib.shutdown();
        lib.unload();
        server.stop();
    }

    // quorra_link.ini beside the library; extra lines follow the defaults.
    void write_ini(const std::string& extra = "", const std::string& key = "k3y") {
        std::string ini = "# test\napi_key=" + key + "\nserver_port=" + std::to_string(server.port()) +
                          "\nreconnect_sec=2\n" + extra;
        ASSERT_TRUE(test_os::write_file(dir.file("quorra_link.ini"), ini));
    }
    void enable(bool with_api = true) {
        MumbleApi t = FakeHost::get().table();
        ASSERT_EQ(lib.enable(11, with_api ? &t : nullptr), 0);
        enabled_ = true;
    }
    void synchronise(int32_t connection = 0) { lib.onServerSynchronized(connection); }
    void connect_and_greet() {
        write_ini();
        enable();
        synchronise();
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() >= 1; }));
    }
    void shutdown() {
        lib.shutdown();
        enabled_ = false;
    }

    // Left and right factors that the plug-in applies to user's stereo block.
    std::pair<float, float> factors(uint32_t user) {
        float block[2] = {1.0f, 1.0f};
        lib.onAudioSourceFetched(block, 1, 2, 48000, true, user);
        return {block[0], block[1]};
    }
    bool hears(uint32_t user, float left, float right) {
        auto f = factors(user);
        return std::fabs(f.first - left) < 1e-5f && std::fabs(f.second - right) < 1e-5f;
    }
    std::string log_file() {
        std::string s;
        test_os::read_file(dir.file("quorra_link.log"), &s);
        return s;
    }
    bool log_has(const std::string& text) { return log_file().find(text) != std::string::npos; }
    size_t log_count(const std::string& text) {
        std::string log = log_file();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    PluginDir dir;
    PluginLib lib;
    FalloffServer server;
    bool enabled_ = false;
    uint16_t port_;
};
