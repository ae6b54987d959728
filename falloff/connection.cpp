#include "falloff/connection.h"

#include <atomic>

namespace {
#if QL_TEST_SEAMS
std::atomic<uint64_t> g_receive_calls_seam{0};
#endif
}  // namespace

#if QL_TEST_SEAMS
uint64_t connection_receive_calls_seam() { return g_receive_calls_seam.load(std::memory_order_relaxed); }
#endif

void connection_open(Connection* c, plat::Socket sock, plat::Waker* waker, uint32_t receive_timeout_ms,
                     uint32_t send_timeout_ms) {
    c->sock = sock;
    c->waker = waker;
    c->receive_timeout_ms = receive_timeout_ms;
    c->send_timeout_ms = send_timeout_ms;
    c->pos = c->len = 0;
    split_reset(&c->splitter);
}

ReadOutcome read_line(Connection* c) {
    for (;;) {
        if (c->pos < c->len) {
            bool done = false;
            c->pos += split_feed(&c->splitter, c->buf + c->pos, c->len - c->pos, &done);
            if (done) return ReadOutcome::line;
            continue;
        }
#if QL_TEST_SEAMS
        g_receive_calls_seam.fetch_add(1, std::memory_order_relaxed);
#endif
        size_t got = 0;
        switch (plat::net_recv(c->sock, c->buf, sizeof c->buf, c->receive_timeout_ms, c->waker, &got)) {
            case plat::NetResult::ok:
                c->pos = 0;
                c->len = got;
                break;
            case plat::NetResult::timed_out:
                return split_flush(&c->splitter) ? ReadOutcome::line : ReadOutcome::timed_out;
            case plat::NetResult::woken:
                return ReadOutcome::woken;
            default:
                // What came of a line before the close stays readable.
                if (c->splitter.complete) split_reset(&c->splitter);
                return ReadOutcome::closed;
        }
    }
}

plat::NetResult send_text(Connection* c, const char* text, size_t len) {
    return plat::net_send(c->sock, text, len, c->send_timeout_ms, c->waker);
}
