// The reader on a real loopback connection, for what only a socket shows:
// pauses shorter and longer than the receive time-out, the peer's close in
// the middle of a line, and one receive for a line of 8 KB.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "falloff/connection.h"
#include "testkit/test_os.h"

namespace pt = test_os;

namespace {
class Reader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pt::net_init());
        uint16_t port = 0;
        pt::Sock listener = pt::listen_loopback(0, 1, &port);
        ASSERT_NE(listener, pt::kBad);
        const pt::Sock mine = pt::connect_loopback(port);
        peer = pt::accept_for(listener, 2000);
        pt::close_sock(listener);
        ASSERT_NE(mine, pt::kBad);
        ASSERT_NE(peer, pt::kBad);
        connection_open(&conn, mine, nullptr, 1000, 1000);
    }
    void TearDown() override {
        pt::close_sock(peer);
        plat::net_close(conn.sock);
    }
    void send(const std::string& bytes) { ASSERT_TRUE(pt::send_all(peer, bytes.data(), bytes.size())); }
    std::string read(ReadOutcome expected = ReadOutcome::line) {
        EXPECT_EQ(read_line(&conn), expected);
        return conn.splitter.line;
    }
    Connection conn;
    pt::Sock peer = pt::kBad;
};
}  // namespace

TEST_F(Reader, PausesTimeOutsAndOneReceiveForALongLine) {
    // Pauses shorter than the receive time-out do not end a line.
    std::thread writer([this] {
        for (const char* piece : {"UPD", "ATE2 a", " 1", "\n"}) {
            pt::send_all(peer, piece, std::strlen(piece));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_EQ(read(), "UPDATE2 a 1");
    writer.join();

    // A longer one hands on what arrived so far, and reports a time-out
    // only when nothing did.
    conn.receive_timeout_ms = 50;
    send("PIN");
    EXPECT_EQ(read(), "PIN");
    EXPECT_EQ(read(ReadOutcome::timed_out), "");
    send("G\n");
    EXPECT_EQ(read(), "G");

    // The greeting's reply and what follows it share the received bytes.
    const std::string long_line(8191, 'a');
    const uint64_t calls = connection_receive_calls_seam();
    send("OK welcome\n" + long_line + "\nPING\n");
    EXPECT_EQ(read(), "OK welcome");
    EXPECT_EQ(read(), long_line);
    EXPECT_LE(connection_receive_calls_seam() - calls, 4u) << "an 8 KB line must not cost a receive per byte";
    EXPECT_EQ(read(), "");
    EXPECT_EQ(read(), "PING");
}

TEST_F(Reader, AClosedConnectionKeepsWhatCameOfALine) {
    send("ERR refus");
    pt::close_sock(peer);
    peer = pt::kBad;
    EXPECT_EQ(read(ReadOutcome::closed), "ERR refus");  // the greeting's refusal shows it
    EXPECT_EQ(plat::net_last_error(), 0);               // an orderly close is no error
}
