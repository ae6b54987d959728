// The falloff worker's life: gate, resolve, connect, greet, read lines until
// the connection ends, pause, again.
//
// Stopping never hangs the host: every wait of the worker (pause, connect,
// send, receive) also wakes on the stop signal, and a stop lasts at most
// stop_wait_ms, measured on the tick counter. A worker that is still running
// then (only name resolution or a slow host call cannot be cut short) is
// abandoned: it never touches shared state or the host again, the library
// stays mapped until it has left, and a later start takes it back instead
// of starting a second one.
#include "falloff/worker.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "common/escape.h"
#include "falloff/connection.h"
#include "falloff/protocol.h"
#include "falloff/timing.h"

#if QL_TEST_SEAMS
inline namespace QL_SEAM_VARIANT {
WorkerTiming& worker_timing_seam() {
    static WorkerTiming timing;
    return timing;
}
}  // namespace QL_SEAM_VARIANT
#endif

namespace {
const WorkerTiming& timing() { return worker_timing(); }
uint32_t now_ms() { return tick_ms() + timing().tick_offset; }

// Polls pred until it holds or budget_ms have passed since start (ticks,
// not a count of sleeps: a sleep may last a whole timer tick).
template <typename Pred>
bool poll_until(Pred pred, uint32_t start, uint32_t budget_ms) {
    for (;;) {
        if (pred()) return true;
        if (tick_ms() - start >= budget_ms) return false;
        sleep_ms(1);
    }
}
}  // namespace

uint32_t falloff_reconnect_pause_ms(int32_t reconnect_sec, uint32_t unit_ms) {
    const uint64_t units = reconnect_sec < 1 ? 1u : static_cast<uint64_t>(reconnect_sec);
    const uint64_t ms = units * unit_ms;
    return ms > kLongestPauseMs ? kLongestPauseMs : static_cast<uint32_t>(ms);
}

struct FalloffWorker::Attempt {
    AttemptSettings s;
    char shown_host[4 * kTextField];  // the host for the log, control bytes escaped
    char port_text[32];
    uint32_t pause_ms;
    int32_t generation;
};

// Everything the connection needs, on the worker's own stack.
struct FalloffWorker::Buffers {
    Connection conn;
    SpeakerTable scratch;
    UserHashDirectory users;
};

static_assert(std::atomic<WorkerState>::is_always_lock_free);

// ---- shared state: entered only while no stop has given up on the worker ----

// No lock is held inside: a stop that gives up marks the worker abandoned
// and does not wait past its bound for a worker that is in a host call.
// Both sides store, then read the other's word, all sequentially
// consistent: either the stop sees busy and waits, or the worker sees
// abandoned and stays out.
bool FalloffWorker::gate_enter() {
    busy_.store(true, std::memory_order_seq_cst);
    if (state_.load(std::memory_order_seq_cst) != WorkerState::abandoned) return true;
    busy_.store(false, std::memory_order_release);
    return false;
}
void FalloffWorker::gate_leave() { busy_.store(false, std::memory_order_release); }

// At each reading of the state: true to go on; false when the worker is to
// end, in which case it has left (stopping or abandoned -> idle). A start
// that takes the worker back meanwhile makes the exchange fail: go on.
bool FalloffWorker::keep_running() {
    WorkerState s = state();
    while (s != WorkerState::running)
        if (state_.compare_exchange_weak(s, WorkerState::idle)) return false;
    return true;
}

// A start took the worker back after this attempt began: what the attempt
// holds (connection, settings, ClientId) belongs to the stopped session.
bool FalloffWorker::superseded(const Attempt& a) const { return generation_.load() != a.generation; }

// Nothing of an attempt that a take-back superseded is written: its host and
// port are the stopped session's. Checked inside the gate: a take-back moves
// the generation before the state, so a worker that found itself running
// again also sees the new generation.
void FalloffWorker::log(const Attempt& a, bool to_host, const char* fmt, ...) {
    if (!gate_enter()) return;
    if (superseded(a)) {
        gate_leave();
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    if (to_host) {
        plugin_logv(a.s.log, fmt, ap);
    } else {
        file_logv(a.s.log, fmt, ap);
    }
    va_end(ap);
    gate_leave();
}

bool FalloffWorker::take_snapshot(Attempt* a) {
    if (!gate_enter()) return false;
    // The stop signal is re-armed for this attempt. A stop or a take-back
    // that signalled before this point has already cleared the flag or
    // bumped the generation, both read below, so neither is lost.
    plat::waker_reset(&waker_);
    if (!running()) {
        gate_leave();
        return false;
    }
    a->generation = generation_.load();
    if (a->generation != session_generation_) {  // a start began a new session
        notices_.reset();
        session_generation_ = a->generation;
        connection_checked_ = false;
    }
    context_->snapshot(&a->s);
    gate_leave();
    escape_control_bytes(a->s.host, a->shown_host, sizeof a->shown_host);
    std::snprintf(a->port_text, sizeof a->port_text, "%d", a->s.port);
    a->pause_ms = falloff_reconnect_pause_ms(a->s.reconnect_sec, timing().reconnect_unit_ms);
    return true;
}

// The pause is cut into pieces only when a line for the player is held
// back and falls due within it.
void FalloffWorker::pause(const Attempt& a) {
    if (superseded(a)) return;
    const uint32_t start = now_ms();
    for (;;) {
        const uint32_t gone = now_ms() - start;
        if (gone >= a.pause_ms) return;
        const uint32_t left = a.pause_ms - gone;
        const uint32_t due = notices_.wait_ms(now_ms());
        if (due >= left) {
            plat::waker_wait(&waker_, left);
            return;
        }
        if (plat::waker_wait(&waker_, due)) return;  // woken
        flush_notices(a);
    }
}

// ---- what the player is told of the link --------------------------------------------

void FalloffWorker::notice(const Attempt& a, LinkState s, const char* detail) {
    if (superseded(a)) return;  // the new session's attempt tells its own
    LinkNotice n;
    if (notices_.report(s, detail, now_ms(), &n)) tell(a, n);
}

void FalloffWorker::flush_notices(const Attempt& a) {
    LinkNotice n;
    if (notices_.due(now_ms(), &n)) tell(a, n);
}

// Each line says what the link is, what the player hears, and what the
// player can do. A community's build has its server and key built in: its
// players ask the community rather than edit quorra_link.ini.
void FalloffWorker::tell(const Attempt& a, const LinkNotice& n) {
    const char* host = a.shown_host;
    const int port = a.s.port;
    const int every = a.s.reconnect_sec < 1 ? 1 : a.s.reconnect_sec;
    const bool ours = !a.s.community;
    const char* check_address = ours ? "check server_host and server_port in quorra_link.ini, or whether the server is up"
                                     : "ask your community whether its server is up";
    const char* tell_operator = ours ? "tell the server's operator" : "tell your community";
    switch (n.state) {
        case LinkState::connected:
            log(a, true, "connected to falloff %s:%d", host, port);
            return;
        case LinkState::unreachable:
            log(a, true, "cannot reach the falloff server at %s:%d; voices stay silent, retrying every %d s; %s", host,
                port, every, check_address);
            return;
        case LinkState::refused: {
            const char* what = ours ? "check api_key in quorra_link.ini, then untick and tick the plug-in"
                                    : "ask your community about the key, then untick and tick the plug-in";
            if (n.detail[0]) {
                log(a, true, "the falloff server at %s:%d refused the link: %s; voices stay silent, retrying every %d s; %s",
                    host, port, n.detail, every, what);
            } else {
                log(a, true,
                    "the falloff server at %s:%d refused the link without a reply; voices stay silent, retrying every "
                    "%d s; %s",
                    host, port, every, what);
            }
            return;
        }
        case LinkState::unanswered:
            log(a, true,
                "the falloff server at %s:%d did not answer within 5 s; voices stay silent, retrying every %d s; %s",
                host, port, every, ours ? "check server_port in quorra_link.ini, or tell the server's operator"
                                        : "tell your community");
            return;
        case LinkState::broken:
            log(a, true,
                "the link to the falloff server at %s:%d broke; voices are silent until it is back; it reconnects by "
                "itself every %d s",
                host, port, every);
            return;
        case LinkState::flapping:
            log(a, true,
                "the link to the falloff server at %s:%d keeps breaking: %u times in the last minute; voices cut in "
                "and out; if it goes on, %s",
                host, port, static_cast<unsigned>(n.breaks), tell_operator);
            return;
        default:
            return;
    }
}

// ---- one attempt ------------------------------------------------------------------

void FalloffWorker::run() {
    if (!keep_running()) return;
    notices_.reset();
    Buffers b;
    do {
        attempt(&b);
    } while (keep_running());
}

void FalloffWorker::attempt(Buffers* b) {
    Attempt a;
    if (!take_snapshot(&a)) return;
    notices_.set_window(timing().notice_window_ms);
    if (!a.s.enabled || !a.s.client_id[0] || !a.s.key[0]) {
        pause(a);
        return;
    }
    // The take-up made sure of the host's connection before it started the
    // session, but a disconnect that comes while Mumble runs init is never
    // reported, and the host answers for the old connection until init has
    // returned. Asked once more before the session's first greeting (the
    // host serves it after init), no HELLO goes out for a connection that
    // is gone.
    if (!connection_checked_) {
        connection_checked_ = true;
        if (refresh_directory(a, b)) return;
    }
    log(a, false, "falloff_connect_attempt host=%s port=%d", a.shown_host, a.s.port);
#if QL_TEST_SEAMS
    if (timing().resolve_delay_ms) sleep_ms(timing().resolve_delay_ms);
#endif
    plat::Socket sock = plat::kNoSocket;
    switch (plat::net_connect(a.s.host, a.port_text, &waker_, &sock)) {
        case plat::NetResult::ok:
            break;
        case plat::NetResult::unresolved:
            log(a, false, "falloff resolve failed host=%s port=%s", a.shown_host, a.port_text);
            [[fallthrough]];
        case plat::NetResult::failed:
            log(a, false, "falloff_connect_fail host=%s port=%d", a.shown_host, a.s.port);
            notice(a, LinkState::unreachable);
            pause(a);
            return;
        default:  // woken
            return;
    }

    connection_open(&b->conn, sock, &waker_, timing().receive_timeout_ms, timing().send_timeout_ms);
    const Greeting g = superseded(a) ? Greeting::woken : greet(a, b);
    if (g != Greeting::accepted) {
        // The server sees the close at once; the next attempt comes one
        // whole pause after it.
        plat::net_close(sock);
        if (g == Greeting::woken) return;
        if (g == Greeting::refused) {
            char shown[sizeof(LinkNotice{}.detail)];
            const char* reply = b->conn.splitter.line;
            escape_bytes(reply, std::strlen(reply), shown, sizeof shown);
            notice(a, LinkState::refused, shown);
        } else {
            notice(a, g == Greeting::unanswered ? LinkState::unanswered : LinkState::unreachable);
        }
        pause(a);
        return;
    }
    notice(a, LinkState::connected);
    const bool broke = exchange(a, b);
    plat::net_close(sock);
    if (gate_enter()) {
        context_->clear_speakers();
        file_log_end_run(a.s.log);  // the count of the last repeated update
        gate_leave();
    }
    if (running() && !superseded(a)) {
        if (broke) notice(a, LinkState::broken);
        pause(a);
    }
}

// Sends HELLO and reads the reply.
FalloffWorker::Greeting FalloffWorker::greet(const Attempt& a, Buffers* b) {
    char hello[kHelloBuffer];
    const size_t n = format_hello(hello, sizeof hello, a.s.key, a.s.client_id);
    switch (send_text(&b->conn, hello, n)) {
        case plat::NetResult::ok:
            break;
        case plat::NetResult::woken:
            return Greeting::woken;
        default:
            log(a, false, "falloff_hello_send_fail wsa=%d", plat::net_last_error());
            return Greeting::unsent;
    }
    // The whole answer within the receive time-out of the HELLO, not
    // within it of each byte: a server that trickles bytes is refused too.
    const ReadOutcome o = read_line_within(&b->conn, tick_ms(), timing().receive_timeout_ms);
    if (o == ReadOutcome::woken) return Greeting::woken;
    const char* reply = b->conn.splitter.line;
    if (o != ReadOutcome::line || !hello_accepted(reply)) {
        char shown[4 * kLineBuffer];  // the server's bytes, escaped for the log
        escape_bytes(reply, std::strlen(reply), shown, sizeof shown);
        log(a, false, "falloff_hello_rejected reply=%s", shown);  // empty when nothing came
        return o == ReadOutcome::timed_out && !reply[0] ? Greeting::unanswered : Greeting::refused;
    }
    return Greeting::accepted;
}

// The connected loop. Returns when the connection is to end: true when the
// link broke, false when the worker was told to stop.
bool FalloffWorker::exchange(const Attempt& a, Buffers* b) {
    uint32_t last_ping = now_ms();
    uint32_t last_refresh = now_ms();
    for (;;) {
        if (!running() || superseded(a)) return false;
        const ReadOutcome o = read_line(&b->conn);
        if (o == ReadOutcome::woken) return false;
        if (o == ReadOutcome::closed) {
            log(a, false, "falloff_disconnected wsa=%d", plat::net_last_error());
            return true;
        }
        if (o == ReadOutcome::line) handle_line(a, b);
        flush_notices(a);
        const uint32_t now = now_ms();
        if (now - last_ping >= timing().ping_interval_ms) {
            const plat::NetResult r = send_text(&b->conn, kPingLine, sizeof kPingLine - 1);
            last_ping = now;
            if (r == plat::NetResult::woken) return false;
            if (r != plat::NetResult::ok) {
                log(a, false, "falloff_ping_send_fail wsa=%d", plat::net_last_error());
                return true;
            }
        }
        if (now - last_refresh >= timing().refresh_interval_ms) {
            if (refresh_directory(a, b)) return false;  // the host's connection is gone
            last_refresh = now;
        }
    }
}

// The host calls outside the gate, the publication inside it. True when
// the host answered that its connection is gone and the session ended with
// it (the worker is then stopping).
bool FalloffWorker::refresh_directory(const Attempt& a, Buffers* b) {
    const StopCheck stop{[](void* w) { return !static_cast<FalloffWorker*>(w)->running(); }, this};
    UsersRead read;
    const bool got = context_->read_users(stop, &b->users, &read);
    if ((!got && !read.gone) || !gate_enter()) return false;
    bool ended = false;
    if (got) {
        context_->publish_users(b->users);
    } else {
        ended = context_->connection_gone(read.connection);
    }
    gate_leave();
    if (ended) log(a, false, "mumble_connection_gone connection=%d", read.connection);
    return ended;
}

// One line after the greeting: PING is answered, an update replaces the
// speaker table, everything else is ignored without a word.
void FalloffWorker::handle_line(const Attempt& a, Buffers* b) {
    const char* payload = nullptr;
    const LineKind kind = classify_line(b->conn.splitter.line, &payload);
    switch (kind) {
        case LineKind::ping:
            send_text(&b->conn, kPingAnswer, sizeof kPingAnswer - 1);  // a failure shows at the next receive or PING
            return;
        case LineKind::update:
        case LineKind::update2: {
            const bool two = kind == LineKind::update2;
            build_speaker_table(payload, two ? UpdateKind::update2 : UpdateKind::update, &b->scratch);
            if (!gate_enter()) return;
            context_->publish_speakers(b->scratch);
            file_log_run(a.s.log, "received %s with %zu speakers", two ? "UPDATE2" : "UPDATE",
                         static_cast<size_t>(b->scratch.count));
            gate_leave();
            return;
        }
        case LineKind::ignored:
            return;
    }
}

// ---- start and stop, on the host's threads ------------------------------------------

void FalloffWorker::thread_main(void* self) { static_cast<FalloffWorker*>(self)->run(); }

bool FalloffWorker::start() {
    if (running()) return true;
    if (!waker_.ready) plat::waker_init(&waker_);
    // The worker a stop gave up on may still be running: take it back. The
    // generation moves first, so the attempt it makes as running again is
    // the new session's. The signal ends whatever it waits in (the old
    // session's connect, say); it re-arms the signal as it begins a fresh
    // attempt.
    generation_.fetch_add(1);
    // Also a worker on its way out after a request_stop (stopping: a stop
    // never leaves one behind) is taken back.
    for (const WorkerState from : {WorkerState::abandoned, WorkerState::stopping}) {
        WorkerState s = from;
        if (state_.compare_exchange_strong(s, WorkerState::running)) {
            plat::waker_signal(&waker_);
            return true;
        }
    }
    // Idle: no thread of ours runs, except one that has just left after a
    // request_stop; it is joined before a new one is made.
    reap(timing().stop_wait_ms);
    plat::waker_reset(&waker_);
    state_.store(WorkerState::running);
    if (plat::thread_start(&thread_, thread_main, this)) return true;
    state_.store(WorkerState::idle);
    return false;
}

void FalloffWorker::request_stop() {
    WorkerState s = WorkerState::running;
    if (state_.compare_exchange_strong(s, WorkerState::stopping)) plat::waker_signal(&waker_);
}

// A thread that left by itself after a request_stop (idle, its handle still
// held) is joined; one that has not gone within budget_ms is let go as an
// abandoned one is.
void FalloffWorker::reap(uint32_t budget_ms) {
    if (!thread_.valid || plat::thread_wait(&thread_, budget_ms)) return;
    plat::pin_module();
    plat::thread_forget(&thread_);
}

void FalloffWorker::stop() {
    WorkerState was = WorkerState::running;
    if (state_.compare_exchange_strong(was, WorkerState::stopping)) {
        plat::waker_signal(&waker_);
    } else if (was == WorkerState::abandoned || (was == WorkerState::idle && !thread_.valid)) {
        return;  // nothing of ours to wait for
    }
    // Running until now, or ending by itself after a request_stop (still
    // stopping, or idle with its handle held): waited for alike.
    const uint32_t start = tick_ms();
    const uint32_t budget = timing().stop_wait_ms;
    // A tenth of the budget is kept for the hand-over below.
    const uint32_t wait = budget - budget / 10;
    bool ended;
    if (thread_.valid) {
        ended = plat::thread_wait(&thread_, wait);
    } else {
        // A worker taken back after an abandonment has no handle; the
        // library is pinned already, so its leaving is enough. (Polled: a
        // condition variable here would be destroyed at process exit under
        // a thread that may still be on its way out.)
        ended = poll_until([this] { return state() == WorkerState::idle; }, start, wait);
    }
    if (ended) return;
    // Still running our code, even if it has just left (idle): its return
    // from run() is code of this library too.
    WorkerState s = WorkerState::stopping;
    state_.compare_exchange_strong(s, WorkerState::abandoned, std::memory_order_seq_cst);
    plat::pin_module();
    plat::thread_forget(&thread_);
    // A worker inside shared state finishes that step (a table copy); one
    // inside a host call may take longer, and is not waited for past the
    // budget: it touches nothing of ours once the call returns.
    poll_until([this] { return !busy_.load(); }, start, budget);
}
