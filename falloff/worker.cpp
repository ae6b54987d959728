// The falloff worker's life: gate, resolve, connect, greet, read lines until
// the connection ends, pause, again.
//
// Stopping never hangs the host: every wait of the worker (pause, connect,
// send, receive) also wakes on the stop signal, and a stop lasts at most
// stop_wait_ms, measured on the tick counter. A worker that is still running
// then (only name resolution or a slow host call cannot be cut short) is
// abandoned: it never touches shared state or the host again, the library
// stays mapped until it has left, and a later start takes it back instead of
// starting a second one.
#include "falloff/worker.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "directory/user_hashes.h"
#include "falloff/protocol.h"
#include "falloff/timing.h"
#include "log/log.h"
#include "platform/atomic32.h"
#include "platform/net.h"
#include "plugin/state.h"
#include "plugin/tables.h"

#if QL_TEST_SEAMS
WorkerTiming& worker_timing_seam() {
    static WorkerTiming timing;
    return timing;
}
#endif

namespace {
std::mutex g_lifecycle;          // start and stop never interleave
std::mutex g_control;            // the worker's exit and a start's take-back decide under it
std::atomic<bool> g_alive{false};      // a worker thread runs our code
std::atomic<bool> g_abandoned{false};  // the last stop gave up waiting for it
std::atomic<bool> g_busy{false};       // it is inside shared state or a host call
plat::Atomic32 g_generation{0};  // bumped when a start takes an abandoned worker back
plat::Waker g_waker{};           // made once; the stop signal for every wait

bool running() { return plat::atomic_cas(&g_state.running, 1, 1) == 1; }

// Entry to shared state (tables, settings, the log, the host). False for an
// abandoned worker, which must then leave. No lock is held inside: a stop
// that gives up sets g_abandoned and does not wait past its bound for a
// worker that is in a host call.
bool gate_enter() {
    g_busy.store(true, std::memory_order_seq_cst);
    if (!g_abandoned.load(std::memory_order_seq_cst)) return true;
    g_busy.store(false, std::memory_order_release);
    return false;
}
void gate_leave() { g_busy.store(false, std::memory_order_release); }

// At each reading of the running flag: true to go on; false when the worker
// is to end, in which case it is counted as gone.
bool keep_running() {
    if (running()) return true;
    std::lock_guard<std::mutex> held(g_control);
    if (running() && !g_abandoned) return true;  // a start took it back meanwhile
    g_alive = false;
    return false;
}

// Polls pred until it holds or budget_ms have passed since start (ticks,
// not a count of sleeps: a sleep may last a whole timer tick).
template <typename Pred>
bool poll_until(Pred pred, uint32_t start, uint32_t budget_ms) {
    for (;;) {
        if (pred()) return true;
        if (plat::tick_ms() - start >= budget_ms) return false;
        plat::sleep_ms(1);
    }
}

void wlog(bool to_host, const char* fmt, ...) QL_PRINTF(2, 3);
void wlog(bool to_host, const char* fmt, ...) {
    if (!gate_enter()) return;
    va_list ap;
    va_start(ap, fmt);
    if (to_host) {
        plugin_logv(fmt, ap);
    } else {
        file_logv(fmt, ap);
    }
    va_end(ap);
    gate_leave();
}

uint32_t now_ms() { return plat::tick_ms() + worker_timing().tick_offset; }

// What one attempt needs of the shared state, copied at its start.
struct Attempt {
    char host[kTextField];
    int32_t port;
    char key[kTextField];
    bool enabled;
    uint32_t pause_ms;
    char client_id[kClientIdField];
    int32_t generation;
};

// A start took the worker back after this attempt began: what the attempt
// holds (connection, settings, ClientId) belongs to the stopped session.
bool superseded(const Attempt& a) { return plat::atomic_read(&g_generation) != a.generation; }

bool take_snapshot(Attempt* a) {
    if (!gate_enter()) return false;
    // The stop signal is re-armed for this attempt. A stop or a take-back
    // that signalled before this point has already cleared the flag or
    // bumped the generation, both read below, so neither is lost.
    plat::waker_reset(&g_waker);
    if (!running()) {
        gate_leave();
        return false;
    }
    a->generation = plat::atomic_read(&g_generation);
    const PluginSettings& s = g_state.settings;
    copy_text(a->host, sizeof a->host, s.server_host);
    a->port = s.server_port;
    copy_text(a->key, sizeof a->key, s.api_key);
    a->enabled = s.enabled != 0;
    a->pause_ms = falloff_reconnect_pause_ms(s.reconnect_sec, worker_timing().reconnect_unit_ms);
    copy_client_id(a->client_id, sizeof a->client_id);
    gate_leave();
    return true;
}

void pause(const Attempt& a) {
    if (!superseded(a)) plat::waker_wait(&g_waker, a.pause_ms);
}

bool stop_requested() { return !running(); }
const RefreshGuard kRefreshGuard{stop_requested, gate_enter, gate_leave};

void empty_speaker_table() {
    if (!gate_enter()) return;
    clear_speakers();
    gate_leave();
}

struct Buffers {
    FalloffConn conn;
    char line[kLineBuffer];
    SpeakerTable scratch;
};

// The connected loop. Returns when the connection is to end.
void exchange(const Attempt& a, Buffers* b) {
    FalloffConn& c = b->conn;
    uint32_t last_ping = now_ms();
    uint32_t last_refresh = now_ms();
    for (;;) {
        if (!running() || superseded(a)) return;
        ReadOutcome o = read_line(&c, b->line);
        if (o == ReadOutcome::woken) return;
        if (o == ReadOutcome::closed) {
            wlog(false, "falloff_disconnected wsa=%d", plat::net_last_error());
            return;
        }
        if (o == ReadOutcome::line) {
            if (!gate_enter()) return;
            handle_line(&c, b->line, &b->scratch);
            gate_leave();
        }
        const uint32_t now = now_ms();
        if (now - last_ping >= worker_timing().ping_interval_ms) {
            int r = plat::net_send(c.sock, "PING\n", 5, c.send_timeout_ms, c.waker);
            last_ping = now;
            if (r == -2) return;
            if (r != 0) {
                wlog(false, "falloff_ping_send_fail wsa=%d", plat::net_last_error());
                return;
            }
        }
        if (now - last_refresh >= worker_timing().refresh_interval_ms) {
            refresh_user_hashes(&kRefreshGuard);
            last_refresh = now;
        }
    }
}

enum class Greeting { accepted, refused, woken };

// Sends HELLO and reads the reply.
Greeting greet(const Attempt& a, Buffers* b) {
    FalloffConn& c = b->conn;
    char hello[kHelloBuffer];
    size_t n = format_hello(hello, sizeof hello, a.key, a.client_id);
    int r = plat::net_send(c.sock, hello, n, c.send_timeout_ms, c.waker);
    if (r == -2) return Greeting::woken;
    if (r != 0) {
        wlog(false, "falloff_hello_send_fail wsa=%d", plat::net_last_error());
        return Greeting::refused;
    }
    ReadOutcome o = read_line(&c, b->line);
    if (o == ReadOutcome::woken) return Greeting::woken;
    if (!hello_accepted(o, b->line)) {
        wlog(false, "falloff_hello_rejected reply=%s", b->line);
        return Greeting::refused;
    }
    return Greeting::accepted;
}

void attempt(Buffers* b) {
    Attempt a;
    if (!take_snapshot(&a)) return;
    if (!a.enabled || !a.client_id[0] || !a.key[0]) {
        pause(a);
        return;
    }
    wlog(false, "falloff_connect_attempt host=%s port=%d", a.host, a.port);
    char port_text[32];
    std::snprintf(port_text, sizeof port_text, "%d", a.port);
#if QL_TEST_SEAMS
    if (worker_timing().resolve_delay_ms) plat::sleep_ms(worker_timing().resolve_delay_ms);
#endif

    plat::Socket sock = plat::kNoSocket;
    switch (plat::net_connect(a.host, port_text, &g_waker, &sock)) {
        case plat::ConnectResult::woken:
            return;
        case plat::ConnectResult::resolve_failed:
            wlog(false, "falloff resolve failed host=%s port=%s", a.host, port_text);
            [[fallthrough]];
        case plat::ConnectResult::none_connected:
            wlog(false, "falloff_connect_fail host=%s port=%d", a.host, a.port);
            pause(a);
            return;
        case plat::ConnectResult::connected:
            break;
    }

    FalloffConn& c = b->conn;
    c.sock = sock;
    c.waker = &g_waker;
    c.receive_timeout_ms = worker_timing().receive_timeout_ms;
    c.send_timeout_ms = worker_timing().send_timeout_ms;
    c.pos = c.len = 0;
    const Greeting g = superseded(a) ? Greeting::woken : greet(a, b);
    if (g != Greeting::accepted) {
        // The server sees the close at once; the next attempt comes one
        // whole pause after it.
        plat::net_close(sock);
        if (g == Greeting::refused) pause(a);
        return;
    }
    wlog(true, "connected to falloff %s:%d", a.host, a.port);
    exchange(a, b);
    plat::net_close(sock);
    empty_speaker_table();
    if (running() && !superseded(a)) pause(a);
}
}  // namespace

void falloff_worker_main(void*) {
    if (!keep_running()) return;
    Buffers b;  // on the worker's own stack
    do {
        attempt(&b);
    } while (keep_running());
}

uint32_t falloff_reconnect_pause_ms(int32_t reconnect_sec, uint32_t unit_ms) {
    const uint64_t units = reconnect_sec < 1 ? 1u : static_cast<uint64_t>(reconnect_sec);
    const uint64_t ms = units * unit_ms;
    return ms > kLongestPauseMs ? kLongestPauseMs : static_cast<uint32_t>(ms);
}

void falloff_worker_start() {
    std::lock_guard<std::mutex> serial(g_lifecycle);
    if (plat::atomic_cas(&g_state.running, 1, 1) == 1) return;
    if (!g_waker.ready) plat::waker_init(&g_waker);
    {
        std::lock_guard<std::mutex> held(g_control);
        if (g_alive) {
            // The worker a stop gave up on is still running: take it back.
            // The signal ends whatever it waits in (the old session's
            // connect, say); it re-arms the signal as it begins a fresh
            // attempt for the new session.
            g_abandoned = false;
            plat::atomic_exchange(&g_generation, plat::atomic_read(&g_generation) + 1);
            plat::atomic_exchange(&g_state.running, 1);
            plat::waker_signal(&g_waker);
            return;
        }
        g_alive = true;
        g_abandoned = false;
    }
    plat::waker_reset(&g_waker);
    plat::atomic_exchange(&g_state.running, 1);
    if (!plat::thread_start(&g_state.worker, falloff_worker_main, nullptr)) {
        plat::atomic_exchange(&g_state.running, 0);
        g_alive = false;
        plugin_log("failed to start falloff worker");
    }
}

void falloff_worker_stop() {
    std::lock_guard<std::mutex> serial(g_lifecycle);
    if (plat::atomic_cas(&g_state.running, 1, 0) != 1) return;
    plat::waker_signal(&g_waker);
    const uint32_t start = plat::tick_ms();
    const uint32_t budget = worker_timing().stop_wait_ms;
    // A tenth of the budget is kept for the hand-over below.
    const uint32_t wait = budget - budget / 10;
    bool ended;
    if (g_state.worker.valid) {
        ended = plat::thread_wait(&g_state.worker, wait);
    } else {
        // A worker taken back after an abandonment has no handle; the
        // library is pinned already, so its leaving is enough. (Polled: a
        // condition variable here would be destroyed at process exit under
        // a thread that may still be on its way out.)
        ended = poll_until([] { return !g_alive.load(); }, start, wait);
    }
    if (ended) return;
    {
        std::lock_guard<std::mutex> held(g_control);
        g_abandoned = true;
    }
    plat::pin_module();
    plat::thread_forget(&g_state.worker);
    // A worker inside shared state finishes that step (a table copy); one
    // inside a host call may take longer, and is not waited for past the
    // budget: it touches nothing of ours once the call returns.
    poll_until([] { return !g_busy.load(); }, start, budget);
}

bool falloff_worker_alive() { return g_alive.load(); }
