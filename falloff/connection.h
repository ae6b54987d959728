// One connection to the falloff server: the socket, the bytes received and
// not yet cut into lines, and the line being collected. The received bytes
// belong to the connection, so no byte of a later line is lost between the
// greeting and the connected loop, and an 8 KB line costs one receive.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/test_seams.h"
#include "falloff/line_splitter.h"
#include "platform/net.h"

inline namespace QL_SEAM_VARIANT {

struct Connection {
    plat::Socket sock = plat::kNoSocket;
    plat::Waker* waker = nullptr;  // ends any wait early; may be null
    uint32_t receive_timeout_ms = 5000;
    uint32_t send_timeout_ms = 5000;
    size_t pos = 0, len = 0;  // received and not yet split: buf[pos, len)
    char buf[kLineBuffer];
    LineSplitter splitter;
};

// A fresh connection on sock.
void connection_open(Connection* c, plat::Socket sock, plat::Waker* waker, uint32_t receive_timeout_ms,
                     uint32_t send_timeout_ms);

enum class ReadOutcome {
    line,       // a line is in c->splitter.line (it may be empty)
    timed_out,  // nothing of a new line arrived within the receive time-out
    closed,     // the peer closed, or a receive failed (net_last_error says which);
                // c->splitter.line holds what came of a line before
    woken,      // a stop was requested
};

// The next line: what was received already first, then one receive at a
// time. A time-out with part of a line collected hands that part on as a
// line.
ReadOutcome read_line(Connection* c);

// The same, for a line that must be whole within budget_ms of start_ms (on
// tick_ms): when the budget runs out, what has come of the line is handed
// on as a line, as after a receive time-out, however the bytes trickle in.
ReadOutcome read_line_within(Connection* c, uint32_t start_ms, uint32_t budget_ms);

// Sends text in one send call; ok, failed or woken.
plat::NetResult send_text(Connection* c, const char* text, size_t len);

#if QL_TEST_SEAMS
// Receive calls made so far, for the benchmarks and tests.
uint64_t connection_receive_calls_seam();
#endif

}  // namespace QL_SEAM_VARIANT
