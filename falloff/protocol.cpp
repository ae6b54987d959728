#include "falloff/protocol.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {
#if QL_TEST_SEAMS
std::atomic<uint64_t> g_receive_calls_seam{0};
#endif

// Refills the connection's buffer. >0 bytes, or a ReadOutcome for why not.
long fill(FalloffConn* c) {
#if QL_TEST_SEAMS
    g_receive_calls_seam.fetch_add(1, std::memory_order_relaxed);
#endif
    long n = plat::net_recv(c->sock, c->buf, sizeof c->buf, c->receive_timeout_ms, c->waker);
    if (n > 0) {
        c->pos = 0;
        c->len = static_cast<size_t>(n);
    }
    return n;
}
}  // namespace

#if QL_TEST_SEAMS
uint64_t protocol_receive_calls() { return g_receive_calls_seam.load(std::memory_order_relaxed); }
#endif

ReadOutcome read_line(FalloffConn* c, char* line) {
    size_t n = 0;
    for (;;) {
        if (c->pos == c->len) {
            long got = fill(c);
            if (got <= 0) {
                line[n] = 0;
                if (got == plat::kRecvTimedOut) return n > 0 ? ReadOutcome::line : ReadOutcome::timed_out;
                if (got == plat::kRecvWoken) return ReadOutcome::woken;
                return ReadOutcome::closed;
            }
        }
        while (c->pos < c->len) {
            char b = c->buf[c->pos++];
            if (b == '\r') continue;
            if (b == '\n') {
                line[n] = 0;
                return ReadOutcome::line;
            }
            line[n++] = b;
            if (n == kLineBuffer - 1) {
                line[n] = 0;
                return ReadOutcome::line;
            }
        }
    }
}

size_t format_hello(char* out, size_t cap, const char* api_key, const char* client_id) {
    int n = std::snprintf(out, cap,
                          "HELLO %s %s "
                          "{\"version\":\"1.0\",\"client\":\"tolvanrix\",\"build\":\"0.1.0-alpha\","
                          "\"features\":[\"spatial\"]}\n",
                          api_key, client_id);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

bool hello_accepted(ReadOutcome outcome, const char* reply) {
    return outcome == ReadOutcome::line && reply[0] == 'O' && reply[1] == 'K';
}

void handle_line(FalloffConn* c, const char* line, SpeakerTable* scratch) {
    if (!line[0]) return;
    if (std::strcmp(line, "PING") == 0) {
        plat::net_send(c->sock, "OK\n", 3, c->send_timeout_ms, c->waker);
        return;
    }
    if (std::strncmp(line, "UPDATE", 6) == 0) {
        if (line[6] == '2') {
            apply_update(line + 7, UpdateKind::update2, scratch);
        } else {
            apply_update(line + 6, UpdateKind::update, scratch);
        }
    }
}
