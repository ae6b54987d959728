// The line protocol over a real loopback connection: a peer plays the
// falloff server, writing bytes and pausing, while read_line and
// handle_line run on the plug-in's side. Hostile input as a whole is left to
// the end-to-end worker tests and the protocol fuzz target.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "falloff/protocol.h"
#include "platform/platform.h"
#include "test_os.h"
#include "plugin/state.h"

namespace pt = test_os;

namespace {
class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pt::net_init());
        uint16_t port = 0;
        pt::Sock listener = pt::listen_loopback(0, 1, &port);
        ASSERT_NE(listener, pt::kBad);
        conn.sock = pt::connect_loopback(port);
        peer = pt::accept_for(listener, 2000);
        pt::close_sock(listener);
        ASSERT_NE(conn.sock, pt::kBad);
        ASSERT_NE(peer, pt::kBad);
        conn.receive_timeout_ms = 2000;  // only reached when a test expects a time-out
    }
    void TearDown() override {
        pt::close_sock(peer);
        pt::close_sock(conn.sock);
    }
    void send(const std::string& bytes) { ASSERT_TRUE(pt::send_all(peer, bytes.data(), bytes.size())); }
    // Reads one line and returns it, after checking the outcome.
    std::string read(ReadOutcome expected = ReadOutcome::line) {
        EXPECT_EQ(read_line(&conn, line), expected);
        return line;
    }
    FalloffConn conn;
    SpeakerTable scratch;
    pt::Sock peer = pt::kBad;
    char line[kLineBuffer];
};
}  // namespace

TEST_F(Protocol, LongLinesAreCutAndTheRestReadAsFurtherLines) {
    const std::string a(8191, 'a'), b(8191, 'b'), c(8191, 'c');
    uint64_t calls = protocol_receive_calls();
    send(a + "\n");
    EXPECT_EQ(read(), a);
    EXPECT_LE(protocol_receive_calls() - calls, 4u) << "an 8 KB line must not cost a receive per byte";
    EXPECT_EQ(read(), "");  // the line feed after exactly 8191 characters

    send(b + c + "tail\nnext\n");
    for (const std::string& expected : {b, c, std::string("tail"), std::string("next")}) EXPECT_EQ(read(), expected);
}

// A pause shorter than the receive time-out does not end a line; a longer
// one hands on what arrived so far, and reports a time-out only when nothing did.
TEST_F(Protocol, TimeOutHandsOnAPartialLineAndOtherwiseReportsTimedOut) {
    conn.receive_timeout_ms = 1000;
    std::thread writer([this] {
        for (const char* piece : {"UPD", "ATE2 a", " 1", "\n"}) {
            pt::send_all(peer, piece, std::strlen(piece));
            plat::sleep_ms(20);
        }
    });
    EXPECT_EQ(read(), "UPDATE2 a 1");
    writer.join();

    conn.receive_timeout_ms = 50;
    send("PIN");
    EXPECT_EQ(read(), "PIN");
    EXPECT_EQ(read(ReadOutcome::timed_out), "");
    send("G\n");
    EXPECT_EQ(read(), "G");
}

TEST_F(Protocol, GreetingReplyAndWhatFollowsItShareTheConnectionBuffer) {
    send("OK welcome\nPING\nUPDATE2 a 0.5 -1\n");
    EXPECT_TRUE(hello_accepted(read_line(&conn, line), line));
    EXPECT_EQ(read(), "PING");
    EXPECT_EQ(read(), "UPDATE2 a 0.5 -1");

    for (const char* accepted : {"OKAY", "OK"}) EXPECT_TRUE(hello_accepted(ReadOutcome::line, accepted));
    for (const char* refused : {"ok", "O", "", "PING", "UPDATE2 a 1", " OK"})
        EXPECT_FALSE(hello_accepted(ReadOutcome::line, refused)) << refused;
    for (ReadOutcome other : {ReadOutcome::timed_out, ReadOutcome::closed, ReadOutcome::woken})
        EXPECT_FALSE(hello_accepted(other, "OK"));
}

// CRs vanish anywhere in a line and a NUL ends its text, so two lines here are PING.
TEST_F(Protocol, OnlyAnExactPingIsAnswered) {
    static const char wire[] = "\nPING \nping\nPINGS\n PING\nOK\nHELLO\nPI\rNG\nPING\0x\n";
    send(std::string(wire, sizeof wire - 1));
    conn.receive_timeout_ms = 50;
    while (read_line(&conn, line) == ReadOutcome::line) handle_line(&conn, line, &scratch);
    std::string got;
    char buf[256];
    for (long n; (n = pt::recv_for(peer, buf, sizeof buf, got.empty() ? 1000 : 20)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, "OK\nOK\n");
}

TEST_F(Protocol, UpdatePrefixRules) {
    struct Case { const char* line; const char* hash; float gain, pan; } cases[] = {
        {"UPDATEabc 0.5", "abc", 0.5f, 0},  // UPDATE needs no blank and never reads a pan
        {"UPDATE22 1", "2", 1, 0},          // the '2' right after the word makes it UPDATE2
        {"UPDATEX 1 0.7", "X", 1, 0},
        {"UPDATE2 d 0.25 -0.5", "d", 0.25f, -0.5f},
        // Not an update: the table stays.
        {"UPDAT e 1", "d", 0.25f, -0.5f}, {"update2 e 1", "d", 0.25f, -0.5f},
        {" UPDATE2 e 1", "d", 0.25f, -0.5f}, {"OK", "d", 0.25f, -0.5f},
    };
    for (const Case& c : cases) {
        handle_line(&conn, c.line, &scratch);
        std::lock_guard<std::mutex> held(g_state.tables_mutex);
        ASSERT_EQ(g_state.speakers.count, 1u) << c.line;
        EXPECT_STREQ(g_state.speakers.entries[0].hash, c.hash) << c.line;
        EXPECT_FLOAT_EQ(g_state.speakers.entries[0].gain, c.gain) << c.line;
        EXPECT_FLOAT_EQ(g_state.speakers.entries[0].pan, c.pan) << c.line;
    }
    handle_line(&conn, "UPDATE2", &scratch);
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    EXPECT_EQ(g_state.speakers.count, 0u);
}

TEST(Hello, ByteExact) {
    char out[kHelloBuffer];
    size_t n = format_hello(out, sizeof out, "s3cret", "0123abcd");
    const std::string json = R"({"version":"1.0","client":"tolvanrix","build":"0.1.0-alpha","features":["spatial"]})";
    EXPECT_EQ(std::string(out, n), "HELLO s3cret 0123abcd " + json + "\n");

    // The longest key and ClientId still fit whole.
    std::string key(255, 'k'), id(127, 'c');
    n = format_hello(out, sizeof out, key.c_str(), id.c_str());
    EXPECT_EQ(std::string(out, n), "HELLO " + key + " " + id + " " + json + "\n");
}
