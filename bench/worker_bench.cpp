// How fast the host's threads get back from a stop, whatever the worker is
// waiting in, and what the worker costs per 1000 large updates.
//
//   build/bin/worker_bench
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testkit/fake_host.h"
#include "testkit/test_os.h"
#include "testkit/plugin_lib.h"
#include "testkit/reference_server.h"

namespace pt = test_os;
using Clock = std::chrono::steady_clock;

namespace {
const char kLocalHash[] = "0123456789abcdef0123456789abcdef01234567";

bool eventually(const std::function<bool()>& pred, int timeout_ms = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Rig {
    PluginDir dir;
    PluginLib lib;
    MumbleApi table = FakeHost::get().table();
    std::string log() {
        std::string s;
        pt::read_file(dir.file("quorra_link.log"), &s);
        return s;
    }
    bool start(uint16_t port, const std::string& extra = "") {
        std::string ini = "# bench\napi_key=k\nserver_port=" + std::to_string(port) + "\n" + extra;
        if (!pt::write_file(dir.file("quorra_link.ini"), ini) || !lib.load(dir.lib_path)) return false;
        if (lib.enable(1, &table) != 0) return false;
        lib.onServerSynchronized(0);
        return true;
    }
};

// Times onServerDisconnected (or shutdown) once the worker sits in `state`.
void time_stop(const char* state, const std::function<bool(Rig&, uint16_t*)>& arrange) {
    for (bool via_shutdown : {false, true}) {
        Rig rig;
        uint16_t port = 0;
        if (!arrange(rig, &port)) {
            std::printf("  %-40s %-26s  (could not arrange)\n", state, via_shutdown ? "mumble_shutdown" : "mumble_onServerDisconnected");
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it settle in the wait
        auto t0 = Clock::now();
        if (via_shutdown) {
            rig.lib.shutdown();
        } else {
            rig.lib.onServerDisconnected(0);
        }
        double took = ms(Clock::now() - t0);
        std::printf("  %-40s %-28s %8.2f ms\n", state, via_shutdown ? "mumble_shutdown" : "mumble_onServerDisconnected", took);
        if (!via_shutdown) rig.lib.shutdown();
        rig.lib.unload();
    }
}
}  // namespace

int main() {
    pt::net_init();
    FakeHost::get().reset();
    FakeHost::get().set_users({{1, kLocalHash}});
    std::printf("Stop latency (target: every stop under 100 ms)\n");

    FalloffServer refusing;
    refusing.set_hello_reply(HelloReply::error_line);
    refusing.start();
    time_stop("pausing (8 s reconnect pause)", [&](Rig& r, uint16_t*) {
        return r.start(refusing.port()) && eventually([&] { return r.log().find("hello_rejected") != std::string::npos; });
    });

    FalloffServer idle;
    idle.start();
    time_stop("connected and idle (5 s receive)", [&](Rig& r, uint16_t*) {
        int before = idle.accepted_hellos();
        return r.start(idle.port()) && eventually([&] { return idle.accepted_hellos() > before; });
    });

    // A listener that never accepts, its queue filled: connects hang.
    pt::FullListener full;
    full.open();
    time_stop("connecting (accept queue full)", [&](Rig& r, uint16_t*) {
        return r.start(full.port) && eventually([&] { return r.log().find("connect_attempt") != std::string::npos; });
    });
    full.close();

    FalloffServer silent;
    silent.set_hello_reply(HelloReply::silent);
    silent.start();
    time_stop("greeting a server that never replies", [&](Rig& r, uint16_t*) {
        size_t before = silent.hellos().size();
        return r.start(silent.port()) && eventually([&] { return silent.hellos().size() > before; });
    });

    // Worker CPU per 1000 UPDATE2 lines of 512 speakers (about 8 KB each).
    FalloffServer streaming;
    streaming.start();
    Rig rig;
    FakeHost::get().set_users({{1, kLocalHash}, {7, "ff00ff"}});
    if (!rig.start(streaming.port(), "debug_log=1\n") || !eventually([&] { return streaming.accepted_hellos() > 0; })) {
        std::printf("streaming server not reached\n");
        return 1;
    }
    rig.lib.onUserAdded(0, 7);
    std::vector<std::string> lines;
    for (int v = 0; v < 2; ++v) {
        // The last line lists the marker speaker first, so it ends the run.
        std::string line = v ? "UPDATE2 ff00ff 1 1," : "UPDATE2";
        for (int i = 0; i < 512; ++i) {
            char item[64];
            std::snprintf(item, sizeof item, "%s%06x 0.%d -1", (i || v) ? "," : " ", 0xa00000u + 0x1013u * i, v + 1);
            line += item;
        }
        lines.push_back(line);
    }
    auto factor = [&] {
        float b[2] = {1, 1};
        rig.lib.onAudioSourceFetched(b, 1, 2, 48000, true, 7);
        return b[1];
    };
    const int kLines = 1000;
    double cpu0 = pt::process_cpu_seconds();
    auto t0 = Clock::now();
    for (int i = 0; i < kLines - 1; ++i) streaming.send_line(lines[0]);
    streaming.send_line(lines[1]);
    bool done = eventually([&] { return factor() == 1.0f; }, 60000);
    double wall = ms(Clock::now() - t0);
    double cpu = pt::process_cpu_seconds() - cpu0;
    std::printf("\nWorker cost for %d UPDATE2 lines of 512 speakers (%zu bytes each), debug_log on\n", kLines,
                lines[0].size());
    std::printf("  process CPU (worker + the sending server thread): %.3f s   wall: %.1f ms   %s\n", cpu, wall,
                done ? "" : "(did not finish)");
    std::printf("  target: under 0.5 s per 1000 lines\n");
    rig.lib.shutdown();
    return done ? 0 : 1;
}
