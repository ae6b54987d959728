// The falloff line protocol as the plug-in speaks it: reading lines off the
// connection, the HELLO line, and the handling of each line after it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/test_seams.h"
#include "falloff/speaker_table.h"
#include "platform/net.h"

constexpr size_t kLineBuffer = 8192;   // 8191 characters and a NUL
constexpr size_t kHelloBuffer = 1024;

// One connection to the falloff server with its read-ahead buffer. The
// buffer belongs to the connection, so no byte of a later line is lost
// between the greeting and the connected loop.
struct FalloffConn {
    plat::Socket sock = plat::kNoSocket;
    plat::Waker* waker = nullptr;          // ends any wait early; may be null
    uint32_t receive_timeout_ms = 5000;
    uint32_t send_timeout_ms = 5000;
    size_t pos = 0, len = 0;               // unread bytes: buf[pos, len)
    char buf[kLineBuffer];
};

enum class ReadOutcome {
    line,       // a line is in the buffer (it may be empty)
    timed_out,  // nothing of a new line arrived within the receive time-out
    closed,     // the peer closed, or a receive failed
    woken,      // a stop was requested
};

// Reads one line into line (kLineBuffer bytes): CR dropped anywhere, LF ends
// the line, cut at 8191 characters. On every outcome line holds what was
// collected, NUL-terminated.
ReadOutcome read_line(FalloffConn* c, char* line);

// The HELLO line for api_key and client_id, with its line feed. Returns its
// length in bytes.
size_t format_hello(char* out, size_t cap, const char* api_key, const char* client_id);

// The reply accepts the greeting when it is a line beginning with "OK".
bool hello_accepted(ReadOutcome outcome, const char* reply);

// One line after the greeting: PING is answered, updates replace the
// SpeakerTable (built in scratch), everything else is ignored.
void handle_line(FalloffConn* c, const char* line, SpeakerTable* scratch);

#if QL_TEST_SEAMS
// Counts receive calls, for the benchmarks and tests.
uint64_t protocol_receive_calls();
#endif
