// The line protocol over a real loopback connection: a peer plays the
// falloff server, writing bytes, pausing and closing, while read_line and
// handle_line run on the plug-in's side.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "falloff/protocol.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "plugin/state.h"

namespace pt = plat::testing;

namespace {
class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pt::net_init());
        if (!g_state.lock_initialised) {
            plat::lock_init(&g_state.lock);
            g_state.lock_initialised = 1;
        }
        saved_debug_log = g_state.settings.debug_log;
        g_state.settings.debug_log = 0;
        uint16_t port = 0;
        pt::Sock listener = pt::listen_loopback(0, 1, &port);
        ASSERT_NE(listener, pt::kBad);
        conn = std::make_unique<FalloffConn>();
        conn->sock = pt::connect_loopback(port);
        peer = pt::accept_for(listener, 2000);
        pt::close_sock(listener);
        ASSERT_NE(conn->sock, pt::kBad);
        ASSERT_NE(peer, pt::kBad);
        conn->receive_timeout_ms = 2000;  // only reached when a test expects a time-out
    }
    void TearDown() override {
        if (peer != pt::kBad) pt::close_sock(peer);
        if (conn && conn->sock != pt::kBad) pt::close_sock(conn->sock);
        g_state.settings.debug_log = saved_debug_log;
    }
    void send(const std::string& bytes) { ASSERT_TRUE(pt::send_all(peer, bytes.data(), bytes.size())); }
    void close_peer() {
        pt::close_sock(peer);
        peer = pt::kBad;
    }
    ReadOutcome read() { return read_line(conn.get(), line); }
    // Everything the plug-in has sent to the peer, waiting wait_ms for the first byte.
    std::string peer_received(uint32_t wait_ms) {
        std::string got;
        char buf[256];
        for (long n; (n = pt::recv_for(peer, buf, sizeof buf, got.empty() ? wait_ms : 20)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }

    std::unique_ptr<FalloffConn> conn;
    pt::Sock peer = pt::kBad;
    char line[kLineBuffer];
    uint8_t saved_debug_log = 0;
};
}  // namespace

TEST_F(Protocol, LineRules) {
    send(std::string("\r\n") + "PI\rNG\n" + std::string("PING\0x\n", 7) + "\r\r\n" + "last");
    close_peer();

    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "PING");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_EQ(std::string(line, 7), std::string("PING\0x\0", 7));  // the NUL is kept, the text ends there
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(read(), ReadOutcome::closed);
    EXPECT_STREQ(line, "last");
    EXPECT_EQ(read(), ReadOutcome::closed);
    EXPECT_STREQ(line, "");
}

TEST_F(Protocol, LongLinesAreCutAndTheRestReadAsFurtherLines) {
    const std::string exact(8191, 'a');
    const std::string longer = std::string(8191, 'b') + std::string(8191, 'c') + "tail";

    uint64_t calls = protocol_receive_calls();
    send(exact + "\n");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_EQ(std::string(line), exact);
    EXPECT_LE(protocol_receive_calls() - calls, 4u) << "an 8 KB line must not cost a receive per byte";

    EXPECT_EQ(read(), ReadOutcome::line);  // the line feed after exactly 8191 characters
    EXPECT_STREQ(line, "");

    send(longer + "\nnext\n");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_EQ(std::string(line), std::string(8191, 'b'));
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_EQ(std::string(line), std::string(8191, 'c'));
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "tail");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "next");
}

TEST_F(Protocol, TimeOutHandsOnAPartialLineAndOtherwiseReportsTimedOut) {
    conn->receive_timeout_ms = 50;
    send("PIN");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "PIN");
    EXPECT_EQ(read(), ReadOutcome::timed_out);
    EXPECT_STREQ(line, "");
    send("G\n");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "G");
}

TEST_F(Protocol, ALineMayArriveInPiecesWithPausesShorterThanTheTimeOut) {
    conn->receive_timeout_ms = 1000;
    std::thread writer([this] {
        for (const char* piece : {"UPD", "ATE2 a", " 1", "\n"}) {
            pt::send_all(peer, piece, std::strlen(piece));
            plat::sleep_ms(20);
        }
    });
    EXPECT_EQ(read(), ReadOutcome::line);
    writer.join();
    EXPECT_STREQ(line, "UPDATE2 a 1");
}

TEST_F(Protocol, GreetingReplyAndWhatFollowsItShareTheConnectionBuffer) {
    send("OK welcome\nPING\nUPDATE2 a 0.5 -1\n");
    ASSERT_EQ(read(), ReadOutcome::line);
    EXPECT_TRUE(hello_accepted(ReadOutcome::line, line));
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "PING");
    EXPECT_EQ(read(), ReadOutcome::line);
    EXPECT_STREQ(line, "UPDATE2 a 0.5 -1");

    EXPECT_TRUE(hello_accepted(ReadOutcome::line, "OKAY"));
    EXPECT_TRUE(hello_accepted(ReadOutcome::line, "OK"));
    for (const char* refused : {"ok", "O", "", "PING", "UPDATE2 a 1", " OK"})
        EXPECT_FALSE(hello_accepted(ReadOutcome::line, refused)) << refused;
    EXPECT_FALSE(hello_accepted(ReadOutcome::timed_out, ""));
    EXPECT_FALSE(hello_accepted(ReadOutcome::closed, "OK"));
    EXPECT_FALSE(hello_accepted(ReadOutcome::woken, "OK"));
}

TEST_F(Protocol, OnlyAnExactPingIsAnswered) {
    auto scratch = std::make_unique<SpeakerTable>();
    static const char wire[] = "\nPING \nping\nPINGS\n PING\nOK\nHELLO\nPI\rNG\nPING\0x\n";
    send(std::string(wire, sizeof wire - 1));
    conn->receive_timeout_ms = 50;
    while (read() == ReadOutcome::line) handle_line(conn.get(), line, scratch.get());
    EXPECT_EQ(peer_received(1000), "OK\nOK\n");
}

TEST_F(Protocol, UpdatePrefixRules) {
    auto scratch = std::make_unique<SpeakerTable>();
    auto only_entry = [](const char* hash, float gain, float pan) {
        StateLock held;
        ASSERT_EQ(g_state.speakers.count, 1u);
        EXPECT_STREQ(g_state.speakers.entries[0].hash, hash);
        EXPECT_FLOAT_EQ(g_state.speakers.entries[0].gain, gain);
        EXPECT_FLOAT_EQ(g_state.speakers.entries[0].pan, pan);
    };
    handle_line(conn.get(), "UPDATEabc 0.5", scratch.get());
    only_entry("abc", 0.5f, 0.0f);
    handle_line(conn.get(), "UPDATE22 1", scratch.get());
    only_entry("2", 1.0f, 0.0f);
    handle_line(conn.get(), "UPDATEX 1 0.7", scratch.get());
    only_entry("X", 1.0f, 0.0f);
    handle_line(conn.get(), "UPDATE2 d 0.25 -0.5", scratch.get());
    only_entry("d", 0.25f, -0.5f);

    // Not an update: the table stays.
    for (const char* other : {"UPDAT e 1", "update2 e 1", " UPDATE2 e 1", "OK"})
        handle_line(conn.get(), other, scratch.get());
    only_entry("d", 0.25f, -0.5f);

    handle_line(conn.get(), "UPDATE2", scratch.get());
    StateLock held;
    EXPECT_EQ(g_state.speakers.count, 0u);
}

TEST(Hello, ByteExact) {
    char out[kHelloBuffer];
    size_t n = format_hello(out, sizeof out, "s3cret", "0123abcd");
    const std::string expected =
        "HELLO s3cret 0123abcd "
        R"({"version":"1.0","client":"tolvanrix","build":"0.1.0-alpha","features":["spatial"]})"
        "\n";
    EXPECT_EQ(std::string(out, n), expected);

    // The longest key and ClientId still fit whole.
    std::string key(255, 'k'), id(127, 'c');
    n = format_hello(out, sizeof out, key.c_str(), id.c_str());
    EXPECT_EQ(n, expected.size() - 6 - 8 + 255 + 127);
    EXPECT_EQ(std::string(out, 6 + 255 + 1 + 127 + 1), "HELLO " + key + " " + id + " ");
    EXPECT_EQ(out[n - 1], '\n');
}
