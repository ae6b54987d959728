// The falloff server at a community's size: the real server (App) on a
// thread of its own, N simulated plug-ins over real loopback TCP on another
// (each greets, answers nothing it need not, PINGs now and then and reads
// every line), and the game side posting the world over HTTP at 10 Hz with
// players walking. Two worlds: everyone within everyone's range, and a map
// so large that each hears about 20.
//
//   server_bench [--players N] [--spread] [--seconds S] [--minutes M]
//
// Prints the server's CPU seconds per wall second (the whole process less
// the simulated clients' and the poster's threads), tick durations, the time
// from a post to the last listener's line handed to its socket (the server
// notes it at the end of the first tick that sends the new world; ticks run
// at rate_hz, so it includes the wait for the next one), lines and bytes a
// second, the resident memory, and the lines each plug-in got a second. --minutes runs a soak in
// which a tenth of the players leave and come back (a reconnect) every ten
// seconds, printing memory and descriptors each minute.
#include <dirent.h>
#include <malloc.h>
#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/app.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int players = 200;
    bool spread = false;
    double seconds = 20;
    double minutes = 0;
};

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
double cpu_seconds_of(std::thread& t) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(t.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}
long rss_kib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    long kib = 0;
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    if (f) std::fclose(f);
    return kib;
}
// Bytes the allocator has handed out and not had back: unlike the resident
// size, it does not move with the heap's fragmentation.
double heap_in_use_mb() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}
int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n - 2;
}
double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

std::string client_id_of(int i) {
    char id[41];
    std::snprintf(id, sizeof id, "%08x%032x", 0x10000000u + static_cast<unsigned>(i), static_cast<unsigned>(i));
    return id;
}

// One simulated plug-in on the clients' loop.
struct SimPlugin : std::enable_shared_from_this<SimPlugin> {
    SimPlugin(asio::io_context& io, int index) : socket(io), index(index) {}
    asio::ip::tcp::socket socket;
    int index;
    std::string in;
    std::atomic<uint64_t> updates{0};
    Clock::time_point since = Clock::now();  // its updates count from here
    bool open = false;

    void start(uint16_t port, std::function<void()> on_ok) {
        socket.async_connect({asio::ip::make_address("127.0.0.1"), port},
                             [self = shared_from_this(), on_ok](const asio::error_code& ec) {
                                 if (ec) return;
                                 self->open = true;
                                 auto hello = std::make_shared<std::string>(
                                     "HELLO bench-key " + client_id_of(self->index) +
                                     " {\"version\":\"1.0\",\"client\":\"bench\",\"build\":\"0.1.0\"}\n");
                                 asio::async_write(self->socket, asio::buffer(*hello),
                                                   [self, hello, on_ok](const asio::error_code&, size_t) {
                                                       self->read(on_ok);
                                                   });
                             });
    }
    void read(std::function<void()> on_ok) {
        asio::async_read_until(socket, asio::dynamic_buffer(in), '\n',
                               [self = shared_from_this(), on_ok](const asio::error_code& ec, size_t n) {
                                   if (ec) {
                                       self->open = false;
                                       return;
                                   }
                                   if (self->in.compare(0, 2, "OK") == 0 && on_ok) on_ok();
                                   else if (self->in.compare(0, 7, "UPDATE2") == 0) self->updates++;
                                   self->in.erase(0, n);
                                   self->read(nullptr);
                               });
    }
    void ping() {
        if (!open) return;
        static const std::string kPing = "PING\n";
        asio::async_write(socket, asio::buffer(kPing), [self = shared_from_this()](const asio::error_code&, size_t) {});
    }
    void close() {
        open = false;
        asio::error_code ignored;
        socket.close(ignored);
    }
};

// Players walking: each has a heading and turns a little every step.
struct Walker {
    double x, y, heading;
};

std::string world_body(const std::vector<Walker>& w) {
    std::string body = "{\"players\":[";
    char item[200];
    for (size_t i = 0; i < w.size(); ++i) {
        std::snprintf(item, sizeof item, "%s{\"id\":\"p%zu\",\"x\":%.1f,\"y\":%.1f,\"z\":0,\"yaw\":%.1f}",
                      i ? "," : "", i, w[i].x, w[i].y, w[i].heading * 180 / M_PI);
        body += item;
    }
    return body + "]}";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--players" && i + 1 < argc) o.players = std::atoi(argv[++i]);
        else if (a == "--spread") o.spread = true;
        else if (a == "--seconds" && i + 1 < argc) o.seconds = std::atof(argv[++i]);
        else if (a == "--minutes" && i + 1 < argc) o.minutes = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--players N] [--spread] [--seconds S] [--minutes M]\n", argv[0]);
            return 2;
        }
    }
    if (o.minutes > 0) o.seconds = o.minutes * 60;
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < 8192) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &r);
    }

    char dir_template[] = "/tmp/ql-server-bench-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    server::Config config;
    config.plugins_listen = {"127.0.0.1", 0};
    config.ingest_listen = {"127.0.0.1", 0};
    config.keys = {"bench-key"};
    config.max_per_address = 100000;
    config.max_players = 5000;
    config.store_path = dir + "/links.sqlite3";
    server::SystemTime time;
    server::Log log;
    log.set_sink([](const std::string&) {});
    server::App app(config, time, log);
    std::string error;
    if (!app.start(&error)) {
        std::fprintf(stderr, "server_bench: %s\n", error.c_str());
        return 1;
    }
    std::thread server_thread([&] { app.run(); });

    // The plug-ins, then each player linked to its plug-in.
    asio::io_context clients_io;
    auto work = asio::make_work_guard(clients_io);
    std::atomic<double> clients_cpu{0};
    std::thread clients_thread([&] {
        clients_io.run();
        clients_cpu = thread_cpu_seconds();
    });
    std::vector<std::shared_ptr<SimPlugin>> plugins;
    std::atomic<int> greeted{0};
    auto connect = [&](int i) {
        auto p = std::make_shared<SimPlugin>(clients_io, i);
        asio::post(clients_io, [p, &app, &greeted] { p->start(app.plugin_port(), [&greeted] { greeted++; }); });
        return p;
    };
    for (int i = 0; i < o.players; ++i) plugins.push_back(connect(i));
    while (greeted.load() < o.players) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    httplib::Client http("127.0.0.1", app.ingest_port());
    for (int i = 0; i < o.players; ++i) {
        const std::string body = "{\"id\":\"p" + std::to_string(i) + "\",\"text\":\"!verify " +
                                 client_id_of(i).substr(0, 8) + "\"}";
        auto res = http.Post("/v1/chat", body, "application/json");
        if (!res || res->body.find("\"linked\":true") == std::string::npos) {
            std::fprintf(stderr, "server_bench: player %d not linked\n", i);
            return 1;
        }
    }

    // Everyone within 40 m of everyone: a disc of 15 m radius. Spread: a
    // square in which about 20 others are within 40 m of each.
    std::mt19937 rng(7);
    const double side_m = o.spread ? std::sqrt(o.players * M_PI * 40 * 40 / 20.0) : 0;
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<Walker> walkers(o.players);
    for (Walker& w : walkers) {
        if (o.spread) {
            w.x = unit(rng) * side_m * 100, w.y = unit(rng) * side_m * 100;
        } else {
            const double a = unit(rng) * 2 * M_PI, rr = std::sqrt(unit(rng)) * 1500;
            w.x = rr * std::cos(a), w.y = rr * std::sin(a);
        }
        w.heading = unit(rng) * 2 * M_PI;
    }

    std::printf("server_bench: %d players %s, %d plug-ins over loopback, world posted at 10 Hz, %.0f s\n",
                o.players, o.spread ? "spread (about 20 heard each)" : "all in range", o.players, o.seconds);
    std::fflush(stdout);
    const auto start = Clock::now();
    const double cpu0 = process_cpu_seconds();
    const double loop_cpu0 = cpu_seconds_of(server_thread);
    const double poster_cpu0 = thread_cpu_seconds();
    const uint64_t lines0 = app.metrics().lines_sent.load(), bytes0 = app.metrics().bytes_sent.load();
    std::vector<uint64_t> updates0(plugins.size());
    for (size_t i = 0; i < plugins.size(); ++i) updates0[i] = plugins[i]->updates.load();
    std::vector<double> ticks_ms, building_ms, post_to_sent_ms;
    int reconnects = 0, second = -1;
    long rss_first = 0;
    int fds_first = 0;
    double heap_first = 0;
    // The samples' room is taken now, so the bench's own bookkeeping does
    // not grow the heap it reports.
    const size_t samples = static_cast<size_t>(std::max(o.seconds, o.minutes * 60) * 10) + 16;
    ticks_ms.reserve(samples), building_ms.reserve(samples), post_to_sent_ms.reserve(samples);
    uint64_t worlds_seen = app.metrics().worlds_sent.load(), ticks_seen = app.metrics().ticks.load();
    for (auto next = start;;) {
        next += std::chrono::milliseconds(100);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= o.seconds) break;
        // What the server noted since the last post: the tick's duration,
        // and the last world's way out when a tick sent it.
        if (app.metrics().ticks.load() != ticks_seen) {
            ticks_seen = app.metrics().ticks.load();
            ticks_ms.push_back(app.metrics().last_tick_us.load() / 1000.0);
            building_ms.push_back(app.metrics().last_tick_build_us.load() / 1000.0);
        }
        if (app.metrics().worlds_sent.load() != worlds_seen) {
            worlds_seen = app.metrics().worlds_sent.load();
            post_to_sent_ms.push_back(app.metrics().post_to_sent_us.load() / 1000.0);
        }
        for (Walker& w : walkers) {
            w.heading += (unit(rng) - 0.5) * 0.3;
            w.x += std::cos(w.heading) * 14;  // 1.4 m/s
            w.y += std::sin(w.heading) * 14;
            if (!o.spread && std::hypot(w.x, w.y) > 1500) w.heading += M_PI;
            if (o.spread && (w.x < 0 || w.y < 0 || w.x > side_m * 100 || w.y > side_m * 100)) w.heading += M_PI;
        }
        http.Post("/v1/world", world_body(walkers), "application/json");

        const int now_second = static_cast<int>(elapsed);
        if (now_second != second) {
            second = now_second;
            // A twentieth of the plug-ins PING each second: each one every
            // 20 s, as the plug-in does.
            for (int i = second % 20; i < o.players; i += 20) asio::post(clients_io, [p = plugins[i]] { p->ping(); });
            // In a soak, every 10 s a tenth of the players leave and come
            // back (a reconnect).
            if (o.minutes > 0 && second % 10 == 5) {
                for (int i = (second / 10) % 10; i < o.players; i += 10) {
                    asio::post(clients_io, [p = plugins[i]] { p->close(); });
                    plugins[i] = connect(i);
                    ++reconnects;
                }
            }
            if (o.minutes > 0 && second % 60 == 0) {
                if (second == 60) rss_first = rss_kib(), fds_first = open_descriptors(), heap_first = heap_in_use_mb();
                std::printf("  %3d min: process RSS %.1f MB, heap in use %.2f MB, %d descriptors, %d reconnects\n",
                            second / 60, rss_kib() / 1024.0, heap_in_use_mb(), open_descriptors(), reconnects);
                std::fflush(stdout);
            }
        }
        std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double poster_cpu = thread_cpu_seconds() - poster_cpu0;
    const double loop_cpu = cpu_seconds_of(server_thread) - loop_cpu0;
    const uint64_t lines = app.metrics().lines_sent.load() - lines0, bytes = app.metrics().bytes_sent.load() - bytes0;
    // Each plug-in's rate over its own time: from the start of the
    // measurement, or from its reconnect in a soak.
    std::vector<double> per_plugin;
    const auto end = Clock::now();
    for (size_t i = 0; i < plugins.size(); ++i) {
        const bool reconnected = plugins[i]->since > start;
        const uint64_t counted = plugins[i]->updates.load() - (reconnected ? 0 : updates0[i]);
        const double over = std::chrono::duration<double>(end - (reconnected ? plugins[i]->since : start)).count();
        if (over > 1) per_plugin.push_back(static_cast<double>(counted) / over);
    }
    const long rss = rss_kib();
    const int fds = open_descriptors();
    const double heap = heap_in_use_mb();

    work.reset();
    for (auto& p : plugins) asio::post(clients_io, [p] { p->close(); });
    clients_thread.join();
    const double cpu = process_cpu_seconds() - cpu0 - poster_cpu - clients_cpu.load();
    app.stop();
    server_thread.join();

    std::printf("server CPU:            %.3f s per wall second (%.1f %% of one core)\n", cpu / wall, 100 * cpu / wall);
    std::printf("  of it, the plug-ins' loop (ticks, greetings, PINGs): %.1f %%; the rest: the ingest\n",
                100 * loop_cpu / wall);
    std::printf("tick duration:         median %.3f ms, p99 %.3f ms, max %.3f ms (server's max %.3f ms)\n",
                percentile(ticks_ms, 0.5), percentile(ticks_ms, 0.99), percentile(ticks_ms, 1),
                app.metrics().max_tick_us.load() / 1000.0);
    std::printf("  of it, making lines: median %.3f ms, p99 %.3f ms (the rest: writing them to the sockets)\n",
                percentile(building_ms, 0.5), percentile(building_ms, 0.99));
    std::printf("post to last line:     median %.1f ms, p99 %.1f ms\n", percentile(post_to_sent_ms, 0.5),
                percentile(post_to_sent_ms, 0.99));
    std::printf("sent:                  %.0f lines/s, %.0f bytes/s\n", lines / wall, bytes / wall);
    std::printf("process RSS:           %.1f MB (server, clients and poster in one process)\n", rss / 1024.0);
    std::printf("lines per plug-in:     median %.2f/s, min %.2f/s, max %.2f/s\n", percentile(per_plugin, 0.5),
                percentile(per_plugin, 0), percentile(per_plugin, 1));
    if (o.minutes > 0)
        std::printf("soak:                  RSS %.1f MB at 1 min, %.1f MB at the end; heap in use %.2f MB, then "
                    "%.2f MB; descriptors %d, then %d; %d reconnects\n",
                    rss_first / 1024.0, rss / 1024.0, heap_first, heap, fds_first, fds, reconnects);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
