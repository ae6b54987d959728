#include "feed_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "testkit/test_os.h"

namespace {

using nlohmann::json;
constexpr double kPi = 3.14159265358979323846;

// A creature's voice client: connected and greeted, reading whatever the
// server sends; greeted again after the server closed it (a restart).
class VoiceClient {
public:
    VoiceClient(int port, std::string key, std::string id) : port_(port), key_(std::move(key)), id_(std::move(id)) {
        thread_ = std::thread([this] { run(); });
    }
    ~VoiceClient() {
        stop_ = true;
        thread_.join();
    }
    bool greeted() const { return greeted_; }

private:
    void run() {
        while (!stop_) {
            test_os::Sock s = test_os::connect_loopback(static_cast<uint16_t>(port_));
            if (s == test_os::kBad) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
            const std::string hello = "HELLO " + key_ + " " + id_ + R"( {"version":"1.0","client":"game_sim"})" + "\n";
            test_os::send_all(s, hello.data(), hello.size());
            auto last_ping = std::chrono::steady_clock::now();
            char buf[16384];
            for (;;) {
                const long n = test_os::recv_for(s, buf, sizeof buf, 100);
                if (stop_ || n == 0 || n == -1) break;
                if (n >= 3 && std::string(buf, 3) == "OK\n") greeted_ = true;
                if (std::chrono::steady_clock::now() - last_ping > std::chrono::seconds(15)) {
                    test_os::send_all(s, "PING\n", 5);
                    last_ping = std::chrono::steady_clock::now();
                }
            }
            greeted_ = false;
            test_os::close_sock(s);
        }
    }
    int port_;
    std::string key_, id_;
    std::atomic<bool> stop_{false}, greeted_{false};
    std::thread thread_;
};

// The code after "!verify " in the host's log, once the banner is there.
std::string banner_code(const std::string& log_path) {
    std::ifstream f(log_path);
    std::string line, code;
    while (std::getline(f, line)) {
        const size_t v = line.find("!verify ");
        if (v == std::string::npos) continue;
        std::istringstream rest(line.substr(v + 8));
        rest >> code;
    }
    return code;
}

struct Ingest {
    httplib::Client http;
    httplib::Headers headers;
    Ingest(int port, const std::string& token) : http("127.0.0.1", port) {
        http.set_connection_timeout(1, 0);
        http.set_read_timeout(2, 0);
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    }
    std::optional<json> post(const std::string& path, const json& body) {
        httplib::Result r = http.Post(path.c_str(), headers, body.dump(), "application/json");
        if (!r || r->status != 200) return std::nullopt;
        return json::parse(r->body, nullptr, false);
    }
    std::optional<json> status() {
        httplib::Result r = http.Get("/v1/status", headers);
        if (!r || r->status != 200) return std::nullopt;
        return json::parse(r->body, nullptr, false);
    }
};

// Whether the listener's voice client is connected; counts the updates the
// server sent it, over the server's restarts.
bool listener_connected(Ingest& ingest, const std::string& client, uint64_t* lines_now, uint64_t* lines_before) {
    std::optional<json> st = ingest.status();
    if (!st) return false;
    for (const json& c : (*st)["clients"]) {
        if (c.value("client_id", "") != client) continue;
        const uint64_t n = c.value("lines", uint64_t{0});
        if (n < *lines_now) *lines_before += *lines_now;  // a new run of the server counts anew
        *lines_now = n;
        return true;
    }
    return false;
}

// The CSV's rows for the world of time t.
void write_rows(std::FILE* csv, const Simulation& sim, double t, bool reached) {
    const double heading = sim.listener_heading(t);
    for (size_t i = 0; i < sim.creatures().size(); ++i) {
        const CreatureState st = sim.state(i, t);
        std::fprintf(csv, "%.2f,%s,%.2f,%.2f,%.4f,%.4f,%.4f,%d\n", t, sim.creatures()[i].name.c_str(), st.pos.x,
                     st.pos.y, heading, st.listed ? st.gain : 0.0, st.listed ? st.pan : 0.0, reached && st.listed ? 1 : 0);
    }
}

}  // namespace

int feed_server(const FeedOptions& o) {
    Simulation sim(read_creatures(o.cast), o.curve);
    if (sim.creatures().empty()) {
        std::fprintf(stderr, "game_sim: no creatures in %s\n", o.cast.c_str());
        return 1;
    }
    std::FILE* csv = o.csv.empty() ? nullptr : std::fopen(o.csv.c_str(), "w");
    if (csv) std::fprintf(csv, "t,name,x,y,heading,gain,pan,sent\n");
    Ingest ingest(o.ingest_port, o.token);

    // The other players' voice clients, each linked by its player.
    std::vector<std::unique_ptr<VoiceClient>> clients;
    for (const Creature& c : sim.creatures()) clients.push_back(std::make_unique<VoiceClient>(o.plugin_port, o.key, c.hash));
    for (size_t i = 0; i < clients.size(); ++i) {
        for (int tries = 0; tries < 100 && !clients[i]->greeted(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto r = ingest.post("/v1/chat", {{"id", sim.creatures()[i].name},
                                                {"text", "!verify " + sim.creatures()[i].hash.substr(0, 8)}});
        if (!r || !r->value("linked", false)) {
            std::fprintf(stderr, "game_sim: %s's voice client was not linked: %s\n", sim.creatures()[i].name.c_str(),
                         r ? r->dump().c_str() : "no answer");
            return 1;
        }
    }

    using namespace std::chrono;
    const auto start = simulation_start(o.epoch_ms);
    const double tick_s = 1.0 / o.rate;
    bool linked = false, linked_then = false, last_sent = false;
    std::string listener_client;
    uint64_t lines_before_restart = 0, lines_now = 0;  // the listener's updates, over the server's restarts
    int posted = 0;
    // Before the first world the server's lines listed nobody: the plug-in
    // fades each voice in from silence.
    if (csv) write_rows(csv, sim, -tick_s, false);
    long k = 0;
    for (; k * tick_s < o.duration - 1e-9; ++k) {
        const double t = k * tick_s;
        std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(duration<double>(t / o.speed)));
        // The game's coordinates: x forward at yaw 0, y to the right (the
        // simulation's y mirrored), yaw in degrees clockwise.
        const Vec2 l = sim.listener_pos(t);
        json players = json::array();
        players.push_back({{"id", "listener"}, {"x", l.x * 100}, {"y", -l.y * 100}, {"z", 0},
                           {"yaw", -sim.listener_heading(t) * 180 / kPi}});
        for (size_t i = 0; i < sim.creatures().size(); ++i) {
            const CreatureState st = sim.state(i, t);
            players.push_back({{"id", sim.creatures()[i].name}, {"x", st.pos.x * 100}, {"y", -st.pos.y * 100}, {"z", 0},
                               {"yaw", 0}});
        }
        const bool sent = ingest.post("/v1/world", {{"players", players}}).has_value();
        posted += sent;

        if (!linked) {
            const std::string code = banner_code(o.host_log);
            if (!code.empty()) {
                const auto r = ingest.post("/v1/chat", {{"id", "listener"}, {"text", "!verify " + code}});
                if (r && r->value("linked", false)) {
                    linked = true;
                    listener_client = r->value("client_id", "");
                    std::printf("game_sim: t=%.1fs the listener typed !verify %s: linked to voice client %s\n", t,
                                code.c_str(), listener_client.c_str());
                    std::fflush(stdout);
                }
            }
        }
        const bool connected = listener_connected(ingest, listener_client, &lines_now, &lines_before_restart);
        // The world posted last time reached the listener's plug-in when it
        // is still connected now: the server sent it at its tick between.
        if (csv && k > 0) write_rows(csv, sim, (k - 1) * tick_s, last_sent && linked_then && connected);
        last_sent = sent;
        linked_then = linked;
    }
    // The last world, and the last of the server's count, half a period on.
    std::this_thread::sleep_for(duration<double>(tick_s / o.speed / 2));
    const bool connected = listener_connected(ingest, listener_client, &lines_now, &lines_before_restart);
    if (csv && k > 0) write_rows(csv, sim, (k - 1) * tick_s, last_sent && linked_then && connected);
    if (csv) std::fclose(csv);
    std::printf("game_sim: simulation over, %llu updates sent to the listener, %d worlds posted\n",
                static_cast<unsigned long long>(lines_before_restart + lines_now), posted);
    if (!linked)
        std::fprintf(stderr, "game_sim: no link code (\"!verify ...\") appeared in %s, so the listener was never linked\n",
                     o.host_log.c_str());
    return linked ? 0 : 1;
}
