// The checker's loop over the plug-in's connection code: connect as the
// plug-in does, greet, then read and judge lines, answer PING and send the
// plug-in's PING, until the run is over. With more than one connection,
// each runs this loop on a thread of its own, and what the server did to
// each is compared at the end.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
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

std::string seconds_text(uint32_t ms) {
    char s[32];
    std::snprintf(s, sizeof s, "%.3g s", ms / 1000.0);
    return s;
}

struct Run {
    const CheckOptions& o;
    CheckResult* r;
    ClientSummary* summary;
    std::string id;
    Judge judge;
    plat::Waker waker{};
    std::unique_ptr<Alarm> alarm;
    std::unique_ptr<Connection> conn = std::make_unique<Connection>();
    uint32_t last_line_at = 0, greeted_at = 0;

    Run(const CheckOptions& opts, CheckResult* res, ClientSummary* sum, std::string client_id)
        : o(opts), r(res), summary(sum), id(std::move(client_id)), judge(res, opts.min_speakers) {
        plat::waker_init(&waker);
        alarm = std::make_unique<Alarm>(&waker);
    }
    ~Run() {
        alarm.reset();
        plat::waker_destroy(&waker);
    }

    const LineSplitter& line() const { return conn->splitter; }

    // A connection that is refused or not answered is tried again until
    // connect_ms have passed: a server being restarted is not a failure.
    bool connect() {
        const uint32_t start = tick_ms();
        alarm->set_in(o.connect_ms);
        for (;;) {
            plat::Socket sock = plat::kNoSocket;
            const plat::NetResult got = plat::net_connect(o.host.c_str(), o.port.c_str(), &waker, &sock);
            if (got == plat::NetResult::ok) {
                connection_open(conn.get(), sock, &waker, o.receive_timeout_ms, 5000);
                return true;
            }
            if (got == plat::NetResult::unresolved) {
                r->failure = "the name " + o.host + " does not resolve";
                return false;
            }
            const int error = plat::net_last_error();
            const uint32_t spent = tick_ms() - start;
            if (got == plat::NetResult::failed && spent < o.connect_ms) {
                const uint32_t left = o.connect_ms - spent;
                // The alarm ends this wait when the time is up.
                if (!plat::waker_wait(&waker, left < o.connect_retry_ms ? left : o.connect_retry_ms)) continue;
            }
            r->failure = "no connection to " + o.host + " port " + o.port + " within " + seconds_text(o.connect_ms);
            if (got == plat::NetResult::failed)
                r->failure += " (each try refused or failed; the last with error " + std::to_string(error) + ")";
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

    // HELLO, and its answer read as the plug-in reads it: what has come
    // greeting_ms after HELLO is the answer, line feed or not.
    bool greet() {
        char hello[kHelloBuffer];
        const size_t n = format_hello(hello, sizeof hello, o.key.c_str(), id.c_str());
        alarm->set_in(o.greeting_ms + 1000);  // only a guard: the read below keeps the deadline
        const uint32_t sent = tick_ms();
        if (send_text(conn.get(), hello, n) != plat::NetResult::ok) {
            judge.add("connection_closed", Severity::error, "the HELLO line could not be sent");
            return false;
        }
        conn->receive_timeout_ms = o.greeting_ms;
        const ReadOutcome got = read_line_within(conn.get(), sent, o.greeting_ms);
        conn->receive_timeout_ms = o.receive_timeout_ms;
        if (got == ReadOutcome::line) {
            r->greeted = line().end == LineEnd::silence ? judge.part_reply(line()) : judge.reply(line());
            return r->greeted;
        }
        if (got == ReadOutcome::closed) {
            r->reply = excerpt(line().line, line().len, 200);
            judge.add("greeting_refused", Severity::error,
                      "the server closed the connection instead of answering HELLO" +
                          (line().len ? " (after \"" + r->reply + "\" without a line feed)" : std::string()) +
                          ": the plug-in takes it as a refusal and tries again after its pause");
            return false;
        }
        judge.add("greeting_timeout", Severity::error,
                  "nothing within " + seconds_text(o.greeting_ms) +
                      " of HELLO: the plug-in closes and tries again after its pause");
        return false;
    }

    void heard(uint32_t now) {
        const double gap = static_cast<double>(now - last_line_at) / 1000.0;
        if (gap > summary->longest_silence_s) summary->longest_silence_s = gap;
        last_line_at = now;
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
                    closed_now();
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
                closed_now();
                break;
            }
            if (got != ReadOutcome::line || cut_short(wait)) continue;
            heard(tick_ms());
            if (judge.line(line(), tick_ms()) == LineKind::ping)
                send_text(conn.get(), kPingAnswer, sizeof kPingAnswer - 1);
        }
        if (!line().complete) r->partial_at_end = line().len;
        r->seconds = static_cast<double>(tick_ms() - greeted) / 1000.0;
    }

    // A plug-in whose player's computer stopped reading: greeted, then no
    // receive until the run's end, when what the server queued is counted
    // (for half a second at most: a server may go on sending as it empties).
    void hold(uint32_t start) {
        const uint32_t spent = tick_ms() - start;
        if (spent < o.run_ms) {
            alarm->set_in(o.run_ms - spent);  // the greeting's guard is not to end this wait
            plat::waker_wait(&waker, o.run_ms - spent);
        }
        char sink[8192];
        for (const uint32_t drained = tick_ms(); tick_ms() - drained < 500;) {
            size_t got = 0;
            const plat::NetResult res = plat::net_recv(conn->sock, sink, sizeof sink, 50, nullptr, &got);
            if (res != plat::NetResult::ok) {
                if (res == plat::NetResult::closed || res == plat::NetResult::failed)
                    summary->closed_at_s = static_cast<double>(tick_ms() - greeted_at) / 1000.0;
                break;
            }
            summary->unread_bytes += got;
        }
    }

    void closed_now() { summary->closed_at_s = static_cast<double>(tick_ms() - greeted_at) / 1000.0; }
};

// One connection from connect to close. greeted is called once its
// greeting is over, however it went.
void run_one(const CheckOptions& o, uint32_t start, const std::string& id, bool stalled, CheckResult* r,
             ClientSummary* summary, const std::function<void()>& greeted) {
    Run run(o, r, summary, id);
    r->ran = run.connect();
    if (!r->ran) {
        greeted();
        return;
    }
    // A small buffer fills within seconds even at a modest update rate.
    if (stalled) plat::net_limit_receive_buffer(run.conn->sock, 4096);
    const uint32_t hello = tick_ms();
    const bool accepted = run.greet();
    run.greeted_at = run.last_line_at = tick_ms();
    summary->greeting_s = static_cast<double>(run.greeted_at - hello) / 1000.0;
    greeted();
    if (accepted && stalled) {
        run.hold(start);
    } else if (accepted) {
        run.exchange(start);
        run.heard(tick_ms());
    }
    plat::net_close(run.conn->sock);
    run.judge.finish();
}

std::string id_of(const CheckOptions& o, uint32_t k) {
    if (o.same_id || k == 0) return o.id;
    // Another id for each further connection: the last four digits counted on.
    std::string id = o.id;
    if (id.size() < 4) id.insert(0, 4 - id.size(), '0');
    const unsigned tail = static_cast<unsigned>(std::stoul(id.substr(id.size() - 4), nullptr, 16));
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04x", (tail + k) & 0xFFFFu);
    return id.replace(id.size() - 4, 4, digits);
}

size_t reported_index(const CheckResult& r) {
    for (size_t i = 0; i < r.clients.size(); ++i)
        if (r.clients[i].reported) return i;
    return 0;
}

// What the server did to the connections, as findings on the reported one.
// intervals: each connection's mean time between updates, in ms.
void compare(const CheckOptions& o, const std::vector<double>& intervals, CheckResult* r) {
    const ClientSummary* stalled = nullptr;
    for (const ClientSummary& c : r->clients)
        if (c.stalled) stalled = &c;
    for (size_t i = 0; stalled && i < r->clients.size(); ++i) {
        const ClientSummary& c = r->clients[i];
        if (c.stalled || !c.greeted || c.updates == 0) continue;
        // Silent for five of its usual intervals, and at least a second.
        const double usual = intervals[i] > 0 ? intervals[i] / 1000.0 : 0.2;
        if (c.longest_silence_s <= (usual * 5 > 1.0 ? usual * 5 : 1.0)) continue;
        char s[64];
        std::snprintf(s, sizeof s, "%.1f s", c.longest_silence_s);
        r->findings.push_back(
            {"stalls_on_slow_client", Severity::error,
             "while connection " + std::to_string(stalled->number) + " did not read, connection " +
                 std::to_string(c.number) + " received nothing for " + s +
                 ": your server waits for the slowest plug-in, so one player whose computer stops reading "
                 "silences everyone; send to each connection without waiting for the others, and drop one "
                 "whose queue keeps growing",
             0});
        break;
    }
    // Every player's plug-in is to be served, not only the first.
    for (const ClientSummary& c : r->clients) {
        if (c.reported || c.greeted || o.same_id) continue;
        r->findings.push_back({"connection_not_served", Severity::error,
                               "connection " + std::to_string(c.number) + " of " +
                                   std::to_string(r->clients.size()) + ", with an id of its own, was not served: " +
                                   (c.failure.empty() ? "it could not connect" : c.failure) +
                                   "; a server must serve every player's plug-in at once",
                               0});
        break;
    }
    // The plug-in greets again with the same id when its link broke without
    // a close the server saw; the newest connection is the live one.
    const ClientSummary& newest = r->clients[reported_index(*r)];
    if (!o.same_id || !r->clients.front().greeted || (newest.greeted && newest.closed_at_s < 0)) return;
    // That is the cause of the refusal or the close the reported one saw.
    std::erase_if(r->findings, [](const Finding& f) {
        return f.code == "greeting_refused" || f.code == "connection_closed" || f.code == "no_updates";
    });
    r->findings.insert(r->findings.begin(),
                       Finding{"same_id_newest_dropped", Severity::error,
             "connection " + std::to_string(newest.number) + " greeted with the id of an open connection and " +
                 (newest.greeted ? "was closed" : "was refused") +
                 ": a player whose link broke without a close your server saw greets again with the same id, and "
                 "stays silent until the old connection times out; serve the newest connection and close the "
                 "older one",
             0});
}

CheckResult run_many(const CheckOptions& o) {
    const uint32_t readers = o.clients ? o.clients : 1;
    const uint32_t total = readers + (o.stalled_client ? 1 : 0);
    std::vector<CheckResult> each(total);
    std::vector<ClientSummary> sums(total);
    std::vector<std::thread> threads;
    std::mutex m;
    std::condition_variable cv;
    uint32_t done_greeting = 0;
    const uint32_t start = tick_ms();
    // The stalled connection greets last, once the others are being served,
    // as a player's computer that freezes in the middle of a game.
    for (uint32_t k = 0; k < total; ++k) {
        const bool stalled = k == readers;
        ClientSummary& s = sums[k];
        s.number = k + 1;
        s.stalled = stalled;
        s.id = id_of(o, k);
        threads.emplace_back([&, k, stalled] {
            run_one(o, start, sums[k].id, stalled, &each[k], &sums[k], [&] {
                std::lock_guard<std::mutex> held(m);
                ++done_greeting;
                cv.notify_all();
            });
        });
        std::unique_lock<std::mutex> held(m);
        cv.wait(held, [&] { return done_greeting == k + 1; });
    }
    for (std::thread& t : threads) t.join();
    // The report is about the first connection, or with one id for all
    // about the newest that reads, which the server should be serving.
    const uint32_t reported = o.same_id ? readers - 1 : 0;
    for (uint32_t k = 0; k < total; ++k) {
        sums[k].greeted = each[k].greeted;
        sums[k].reply = each[k].reply;
        sums[k].updates = each[k].updates;
        sums[k].reported = k == reported;
        if (!each[k].greeted && !each[k].findings.empty()) sums[k].failure = each[k].findings[0].message;
    }
    std::vector<double> intervals;
    for (const CheckResult& e : each) intervals.push_back(e.mean_interval_ms);
    CheckResult r = std::move(each[reported]);
    r.clients = std::move(sums);
    if (r.ran) compare(o, intervals, &r);
    return r;
}
}  // namespace

CheckResult run_check(const CheckOptions& o) {
    CheckResult r;
    plat::net_startup();
    if (o.clients <= 1 && !o.stalled_client) {
        ClientSummary unused;
        run_one(o, tick_ms(), o.id, false, &r, &unused, [] {});
    } else {
        r = run_many(o);
    }
    plat::net_cleanup();
    // A run that never connected is no clean run: it says so as an error.
    if (!r.ran) r.findings.push_back({"connection_failed", Severity::error, r.failure, 0});
    return r;
}
