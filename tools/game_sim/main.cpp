// game_sim: the game simulator of the demo; it speaks the falloff server's side
// of the plug-in protocol itself (the reference server of the test kit).
//
//   game_sim [--port N] [--key KEY] [--scenario FILE] [--exit-after-scenario]
//   game_sim [--port N] [--key KEY] --simulate CAST [--csv FILE]
//                  [--duration S] [--speed X] [--epoch-ms MS] [--drop-at S] [--rate HZ]
//
// A scenario is a text file of timed lines, "<ms> <line>", played to each
// client after its greeting was accepted: <ms> counts from the greeting,
// <line> is sent with a line feed. "<ms> !close" closes the connection.
// Lines starting with # are comments.
//
// --simulate moves the creatures of a cast file (see simulation.h) around a
// listener and sends the connected client an UPDATE2 line HZ times per
// simulated second (10 when not given; 0.1 to 100), for S simulated
// seconds, then exits. The simulated
// clock starts at the wall-clock instant MS (milliseconds since 1970; now
// when absent) and runs X times as fast as the wall clock, so a host that
// paces its audio from the same instant and factor stays in step with it.
// --drop-at closes the client's connection once at that simulated time, to
// show a reconnect. --csv writes every tick of every creature: position,
// the gain and pan the curve gives, and whether the line reached a client.
//
//   game_sim --simulate CAST --ingest-port N --plugin-port N --key KEY
//            --host-log FILE [--token T] [--near M --range M] [--csv FILE] ...
//
// feeds the real falloff server instead (see feed_server.h): the world to
// its ingest at HZ per simulated second, the creatures' voice clients
// connected and linked, and the listener's "!verify" typed with the code
// the plug-in's banner shows in FILE, the headless host's log. The CSV's
// gain then follows the server's linear curve from --near to --range.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testkit/reference_server.h"
#include "simulation.h"
#if QL_GAME_SIM_FEED
#include "feed_server.h"
#endif

namespace {
struct Step {
    long ms;
    std::string line;
};

std::vector<Step> read_scenario(const std::string& path) {
    std::vector<Step> steps;
    std::ifstream f(path);
    std::string text;
    while (std::getline(f, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream in(text);
        Step s;
        if (!(in >> s.ms)) continue;
        std::getline(in >> std::ws, s.line);
        steps.push_back(s);
    }
    return steps;
}

struct SimOptions {
    std::string cast, csv;
    double duration = 30, speed = 1, drop_at = -1, rate = 10;
    long long epoch_ms = 0;  // 0: now
};

// Plays the simulation against whatever client is connected, tick by tick.
int simulate(FalloffServer& server, const SimOptions& o) {
    Simulation sim(read_creatures(o.cast));
    if (sim.creatures().empty()) {
        std::fprintf(stderr, "game_sim: no creatures in %s\n", o.cast.c_str());
        return 1;
    }
    std::FILE* csv = o.csv.empty() ? nullptr : std::fopen(o.csv.c_str(), "w");
    if (csv) std::fprintf(csv, "t,name,x,y,heading,gain,pan,sent\n");

    using namespace std::chrono;
    const auto start = simulation_start(o.epoch_ms);
    const double tick_s = 1.0 / o.rate;
    bool dropped = false;
    int sent_count = 0;
    for (long k = 0; k * tick_s <= o.duration + 1e-9; ++k) {
        double t = k * tick_s;
        std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(
                                                  duration<double>(t / o.speed)));
        if (o.drop_at >= 0 && !dropped && t >= o.drop_at) {
            dropped = true;
            if (server.client_connected()) {
                server.close_client();
                std::printf("game_sim: t=%.1fs dropped the client to show a reconnect\n", t);
                std::fflush(stdout);
            }
        }
        bool sent = server.send_line(sim.update_line(t));
        if (sent) ++sent_count;
        if (!csv) continue;
        double heading = sim.listener_heading(t);
        for (size_t i = 0; i < sim.creatures().size(); ++i) {
            CreatureState st = sim.state(i, t);
            std::fprintf(csv, "%.2f,%s,%.2f,%.2f,%.4f,%.4f,%.4f,%d\n", t, sim.creatures()[i].name.c_str(),
                         st.pos.x, st.pos.y, heading, st.listed ? st.gain : 0.0, st.listed ? st.pan : 0.0,
                         sent && st.listed ? 1 : 0);
        }
    }
    if (csv) std::fclose(csv);
    std::printf("game_sim: simulation over, %d updates sent, %d connections\n", sent_count,
                server.connections());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 8890;
    std::string key, scenario;
    bool exit_after = false;
    SimOptions sim;
    int ingest_port = 0, plugin_port = 0;
    std::string token, host_log;
    double near_m = 2, range_m = 40;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--port" && i + 1 < argc) port = static_cast<uint16_t>(std::atoi(argv[++i]));
        else if (a == "--key" && i + 1 < argc) key = argv[++i];
        else if (a == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (a == "--exit-after-scenario") exit_after = true;
        else if (a == "--simulate" && i + 1 < argc) sim.cast = argv[++i];
        else if (a == "--csv" && i + 1 < argc) sim.csv = argv[++i];
        else if (a == "--duration" && i + 1 < argc) sim.duration = std::atof(argv[++i]);
        else if (a == "--speed" && i + 1 < argc) sim.speed = std::atof(argv[++i]);
        else if (a == "--epoch-ms" && i + 1 < argc) sim.epoch_ms = std::atoll(argv[++i]);
        else if (a == "--drop-at" && i + 1 < argc) sim.drop_at = std::atof(argv[++i]);
        else if (a == "--rate" && i + 1 < argc) sim.rate = std::atof(argv[++i]);
        else if (a == "--ingest-port" && i + 1 < argc) ingest_port = std::atoi(argv[++i]);
        else if (a == "--plugin-port" && i + 1 < argc) plugin_port = std::atoi(argv[++i]);
        else if (a == "--token" && i + 1 < argc) token = argv[++i];
        else if (a == "--host-log" && i + 1 < argc) host_log = argv[++i];
        else if (a == "--near" && i + 1 < argc) near_m = std::atof(argv[++i]);
        else if (a == "--range" && i + 1 < argc) range_m = std::atof(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--port N] [--key KEY] [--scenario FILE] [--exit-after-scenario]\n"
                         "       %s [--port N] [--key KEY] --simulate CAST [--csv FILE] [--duration S]\n"
                         "          [--speed X] [--epoch-ms MS] [--drop-at S] [--rate HZ]\n",
                         argv[0], argv[0]);
            return 2;
        }
    }
    if (!(sim.rate >= 0.1 && sim.rate <= 100)) {
        std::fprintf(stderr, "game_sim: --rate must be between 0.1 and 100 updates a second\n");
        return 2;
    }
    if (ingest_port > 0) {
#if QL_GAME_SIM_FEED
        if (sim.cast.empty() || plugin_port <= 0 || host_log.empty()) {
            std::fprintf(stderr, "game_sim: --ingest-port needs --simulate, --plugin-port and --host-log\n");
            return 2;
        }
        FeedOptions f;
        f.cast = sim.cast;
        f.csv = sim.csv;
        f.duration = sim.duration;
        f.speed = sim.speed > 0 ? sim.speed : 1;
        f.rate = sim.rate;
        f.epoch_ms = sim.epoch_ms;
        f.ingest_port = ingest_port;
        f.plugin_port = plugin_port;
        f.key = key;
        f.token = token;
        f.host_log = host_log;
        f.curve = FalloffCurve{near_m, range_m, true};
        return feed_server(f);
#else
        std::fprintf(stderr, "game_sim: built without the falloff server's HTTP and JSON libraries\n");
        return 2;
#endif
    }
    std::vector<Step> steps = scenario.empty() ? std::vector<Step>{} : read_scenario(scenario);
    std::atomic<bool> done{false};
    FalloffServer server;
    server.set_expected_key(key);
    server.set_on_client([&](FalloffServer& s) {
        std::thread([&s, &steps, &done] {
            auto start = std::chrono::steady_clock::now();
            for (const Step& st : steps) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(st.ms));
                if (st.line == "!close") {
                    s.close_client();
                } else {
                    s.send_line(st.line);
                }
            }
            done = true;
        }).detach();
    });
    if (!server.start(port)) {
        std::fprintf(stderr, "game_sim: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("game_sim listening on 127.0.0.1:%u\n", server.port());
    std::fflush(stdout);
    if (!sim.cast.empty()) {
        if (sim.speed <= 0) sim.speed = 1;
        int rc = simulate(server, sim);
        server.stop();
        return rc;
    }
    while (!(exit_after && done)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    return 0;
}
