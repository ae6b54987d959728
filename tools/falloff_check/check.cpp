// The checker's own loop over the plug-in's connection code: connect as the
// plug-in does, greet, then read and judge lines, answer PING and send the
// plug-in's PING, until the run is over.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "check.h"
#include "common/clock.h"
#include "falloff/connection.h"
#include "judge.h"
#include "platform/net.h"

namespace {
// Signals a Waker at a set moment, so that no wait on the connection (a
// connect, a server trickling a line byte by byte) outlasts a deadline.
class Alarm {
public:
    explicit Alarm(plat::Waker* w) : w_(w), thread_([this] { loop(); }) {}
    ~Alarm() {
        {
            std::lock_guard<std::mutex> held(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    // Re-arms: after this the Waker is clear until ms from now.
    void set_in(uint32_t ms) {
        {
            std::lock_guard<std::mutex> held(m_);
            at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            armed_ = true;
        }
        cv_.notify_all();
        plat::waker_reset(w_);
    }

private:
    void loop() {
        std::unique_lock<std::mutex> held(m_);
        while (!quit_) {
            if (!armed_) {
                cv_.wait(held);
            } else if (std::chrono::steady_clock::now() >= at_) {
                armed_ = false;
                plat::waker_signal(w_);
            } else {
                cv_.wait_until(held, at_);
            }
        }
    }

    plat::Waker* w_;
    std::mutex m_;
    std::condition_variable cv_;
    std::chrono::steady_clock::time_point at_;
    bool armed_ = false, quit_ = false;
    std::thread thread_;
};

struct Run {
    const CheckOptions& o;
    CheckResult* r;
    Judge judge;
    plat::Waker waker{};
    std::unique_ptr<Alarm> alarm;
    std::unique_ptr<Connection> conn = std::make_unique<Connection>();

    Run(const CheckOptions& opts, CheckResult* res) : o(opts), r(res), judge(res) {
        plat::waker_init(&waker);
        alarm = std::make_unique<Alarm>(&waker);
    }
    ~Run() {
        alarm.reset();
        plat::waker_destroy(&waker);
    }

    const LineSplitter& line() const { return conn->splitter; }

    bool connect() {
        plat::Socket sock = plat::kNoSocket;
        alarm->set_in(o.connect_ms);
        switch (plat::net_connect(o.host.c_str(), o.port.c_str(), &waker, &sock)) {
            case plat::NetResult::ok:
                connection_open(conn.get(), sock, &waker, o.receive_timeout_ms, 5000);
                return true;
            case plat::NetResult::unresolved:
                r->failure = "the name " + o.host + " does not resolve";
                return false;
            case plat::NetResult::woken:
                r->failure = "no connection to " + o.host + " port " + o.port + " within " +
                             std::to_string(o.connect_ms / 1000) + " s";
                return false;
            default:
                r->failure = "no address of " + o.host + " port " + o.port + " accepts a connection (error " +
                             std::to_string(plat::net_last_error()) + ")";
                return false;
        }
    }

    // A line the plug-in would not have completed yet: the wait was cut
    // short by the checker, not by the plug-in's 5 s of silence. The next
    // read goes on with it.
    bool cut_short(uint32_t wait) {
        if (line().end != LineEnd::silence || wait >= o.receive_timeout_ms) return false;
        conn->splitter.complete = false;
        return true;
    }

    // HELLO, and its answer complete within the greeting's deadline.
    bool greet() {
        char hello[kHelloBuffer];
        const size_t n = format_hello(hello, sizeof hello, o.key.c_str(), o.id.c_str());
        const uint32_t sent = tick_ms();
        alarm->set_in(o.greeting_ms);
        if (send_text(conn.get(), hello, n) != plat::NetResult::ok) {
            judge.add("connection_closed", Severity::error, "the HELLO line could not be sent");
            return false;
        }
        for (;;) {
            const uint32_t spent = tick_ms() - sent;
            const uint32_t left = spent < o.greeting_ms ? o.greeting_ms - spent : 0;
            const uint32_t wait = left < o.receive_timeout_ms ? left : o.receive_timeout_ms;
            conn->receive_timeout_ms = wait ? wait : 1;
            const ReadOutcome got = read_line(conn.get());
            if (got == ReadOutcome::line && cut_short(wait)) continue;
            if (got == ReadOutcome::line && line().end != LineEnd::silence && tick_ms() - sent < o.greeting_ms) {
                r->greeted = judge.reply(line());
                return r->greeted;
            }
            if (got == ReadOutcome::closed) {
                judge.add("greeting_refused", Severity::error,
                          "the server closed the connection instead of answering HELLO: the plug-in takes it as "
                          "a refusal and tries again after its pause");
                return false;
            }
            if (got == ReadOutcome::timed_out && tick_ms() - sent < o.greeting_ms) continue;
            const size_t had = line().len;
            r->reply = excerpt(line().line, had, 200);
            judge.add("greeting_timeout", Severity::error,
                      had ? "only \"" + r->reply + "\" without a line feed within " +
                                std::to_string(o.greeting_ms / 1000) +
                                " s of HELLO: the plug-in reads a part answer as the whole one once 5 s pass "
                                "in silence, and waits as long as bytes keep trickling; send the answer whole"
                          : "nothing within " + std::to_string(o.greeting_ms / 1000) +
                                " s of HELLO: the plug-in closes and tries again after its pause");
            return false;
        }
    }

    void exchange(uint32_t start) {
        const uint32_t run_ms = o.run_ms;
        // A run shorter than the plug-in's interval still sends one PING,
        // halfway, to see what the server does with it.
        const uint32_t ping_ms = o.ping_interval_ms < run_ms / 2 ? o.ping_interval_ms : run_ms / 2;
        const uint32_t greeted = tick_ms();
        const uint32_t spent = greeted - start;
        alarm->set_in(spent < run_ms ? run_ms - spent : 0);
        uint32_t last_ping = greeted;
        for (;;) {
            const uint32_t now = tick_ms();
            if (now - start >= run_ms) break;
            if (now - last_ping >= ping_ms) {
                last_ping = now;
                const plat::NetResult sent = send_text(conn.get(), kPingLine, sizeof kPingLine - 1);
                if (sent == plat::NetResult::woken) break;
                if (sent != plat::NetResult::ok) {
                    judge.add("connection_closed", Severity::error,
                              "the plug-in's PING could not be sent: the plug-in ends the connection");
                    break;
                }
                ++r->pings_sent;
            }
            // Each wait ends at the next PING at the latest (the alarm ends the run).
            const uint32_t to_ping = ping_ms - (now - last_ping);
            const uint32_t wait = to_ping < o.receive_timeout_ms ? to_ping : o.receive_timeout_ms;
            conn->receive_timeout_ms = wait ? wait : 1;
            const ReadOutcome got = read_line(conn.get());
            if (got == ReadOutcome::woken) break;
            if (got == ReadOutcome::closed) {
                judge.at_line(0);
                judge.add("connection_closed", Severity::error,
                          "the server closed the connection after " + std::to_string((tick_ms() - greeted) / 1000) +
                              " s (error " + std::to_string(plat::net_last_error()) +
                              "): the plug-in silences everyone and reconnects after its pause");
                break;
            }
            if (got != ReadOutcome::line || cut_short(wait)) continue;
            if (judge.line(line(), tick_ms()) == LineKind::ping)
                send_text(conn.get(), kPingAnswer, sizeof kPingAnswer - 1);
        }
        if (!line().complete) r->partial_at_end = line().len;
        r->seconds = static_cast<double>(tick_ms() - greeted) / 1000.0;
    }
};
}  // namespace

CheckResult run_check(const CheckOptions& o) {
    CheckResult r;
    plat::net_startup();
    {
        Run run(o, &r);
        r.ran = run.connect();
        if (r.ran) {
            const uint32_t start = tick_ms();
            if (run.greet()) run.exchange(start);
            plat::net_close(run.conn->sock);
            run.judge.finish();
        }
    }
    plat::net_cleanup();
    return r;
}
