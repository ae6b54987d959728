#include "falloff/connection.h"

#include <atomic>

#include "common/clock.h"

inline namespace QL_SEAM_VARIANT {

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

namespace {
ReadOutcome timed_out(Connection* c) {
    return split_flush(&c->splitter) ? ReadOutcome::line : ReadOutcome::timed_out;
}

// bounded: the line must be whole within budget_ms of start_ms.
ReadOutcome read_line_by(Connection* c, bool bounded, uint32_t start_ms, uint32_t budget_ms) {
    for (;;) {
        if (c->pos < c->len) {
            bool done = false;
            c->pos += split_feed(&c->splitter, c->buf + c->pos, c->len - c->pos, &done);
            if (done) return ReadOutcome::line;
            continue;
        }
        uint32_t wait = c->receive_timeout_ms;
        if (bounded) {
            const uint32_t spent = tick_ms() - start_ms;
            if (spent >= budget_ms) return timed_out(c);
            if (budget_ms - spent < wait) wait = budget_ms - spent;
        }
#if QL_TEST_SEAMS
        g_receive_calls_seam.fetch_add(1, std::memory_order_relaxed);
#endif
        size_t got = 0;
        switch (plat::net_recv(c->sock, c->buf, sizeof c->buf, wait, c->waker, &got)) {
            case plat::NetResult::ok:
                c->pos = 0;
                c->len = got;
                break;
            case plat::NetResult::timed_out:
                return timed_out(c);
            case plat::NetResult::woken:
                return ReadOutcome::woken;
            default:
                // What came of a line before the close stays readable.
                if (c->splitter.complete) split_reset(&c->splitter);
                return ReadOutcome::closed;
        }
    }
}
}  // namespace

ReadOutcome read_line(Connection* c) { return read_line_by(c, false, 0, 0); }

ReadOutcome read_line_within(Connection* c, uint32_t start_ms, uint32_t budget_ms) {
    return read_line_by(c, true, start_ms, budget_ms);
}

plat::NetResult send_text(Connection* c, const char* text, size_t len) {
    return plat::net_send(c->sock, text, len, c->send_timeout_ms, c->waker);
}

}  // namespace QL_SEAM_VARIANT
