// Cost of the audio path against a bare scaling loop, through the built
// library's exported mumble_onAudioSourceFetched: its directory is filled
// from the fake host through the user events, its speaker table by a real
// loopback falloff server sending an UPDATE2 line to its worker. Also the
// time a refresh's publication of 512 users takes its writer.
//
//   build-<you>/bin/audio_bench
//
// Prints each ratio with its target; the targets are not enforced here.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "directory/user_hashes.h"
#include "testkit/fake_host.h"
#include "mixer/mixer.h"
#include "testkit/plugin_lib.h"
#include "testkit/reference_server.h"

namespace pt = test_os;

// The writers' side in this binary, as the plug-in has it.
static Mixer g_mixer;

namespace {
constexpr uint32_t kFrames = 480;
constexpr uint32_t kFirstUser = 10;
constexpr int kRefill = 32;  // refill the block before its samples go subnormal

// Ten hex digits whose first eight differ from user to user, as real
// certificate hashes do; short enough for 512 items in one line.
std::string speaker_hash(uint32_t i) {
    char h[16];
    std::snprintf(h, sizeof h, "%010llx", (static_cast<unsigned long long>(i) * 2654435761ull) & 0xFFFFFFFFFFull);
    return h;
}

// One loaded copy of the library with n users, all of them listed.
struct Rig {
    std::unique_ptr<PluginDir> dir;
    PluginLib lib;
    FalloffServer server;
    uint32_t last_user = 0;

    bool prepare(uint32_t n, std::string* why) {
        FakeHost& host = FakeHost::get();
        std::vector<FakeUser> users;
        for (uint32_t i = 0; i < n; ++i) users.push_back({kFirstUser + i, speaker_hash(i)});
        host.set_users(users);
        host.set_local_user(1);
        last_user = kFirstUser + n - 1;

        dir = std::make_unique<PluginDir>();
        if (!server.start()) return *why = "server", false;
        std::string ini = "api_key=bench\nserver_port=" + std::to_string(server.port()) + "\n";
        if (!pt::write_file(dir->file("quorra_link.ini"), ini)) return *why = "ini", false;
        if (!lib.load(dir->lib_path, why)) return false;
        WorkerTiming* t = lib.test_timing();
        t->ping_interval_ms = 0xFFFFFFFFu;  // keep the worker quiet while measuring
        t->refresh_interval_ms = 0xFFFFFFFFu;
        t->receive_timeout_ms = 200;
        MumbleApi table = host.table();
        if (lib.enable(1, &table) != 0) return *why = "enable", false;
        lib.onServerSynchronized(0);
        lib.onUserAdded(0, last_user);
        if (!server.wait_until([&] { return server.accepted_hellos() >= 1; }, 5000))
            return *why = "no greeting", false;

        std::string line = "UPDATE2";
        for (uint32_t i = 0; i < n; ++i) line += (i ? "," : " ") + speaker_hash(i) + " 1";
        if (line.size() > 8191) return *why = "line too long", false;
        if (!server.send_line(line)) return *why = "send", false;
        // Applied once the last speaker is heard.
        for (int tries = 0; tries < 500; ++tries) {
            float probe[2] = {1.0f, 1.0f};
            lib.onAudioSourceFetched(probe, 1, 2, 48000, true, last_user);
            if (probe[0] > 0.5f) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return *why = "update not applied", false;
    }
    void finish() {
        lib.shutdown();
        lib.unload();
        server.stop();
        dir.reset();
    }
};

Rig g_small, g_full;

std::vector<float> fresh_block() { return std::vector<float>(kFrames * 2, 0.25f); }

void run_plugin(benchmark::State& state, Rig& rig) {
    std::vector<float> block = fresh_block();
    const std::vector<float> source = block;
    int n = 0;
    for (auto _ : state) {
        if (++n == kRefill) {
            std::memcpy(block.data(), source.data(), block.size() * sizeof(float));
            n = 0;
        }
        benchmark::DoNotOptimize(rig.lib.onAudioSourceFetched(block.data(), kFrames, 2, 48000, true, rig.last_user));
        benchmark::ClobberMemory();
    }
}

void run_bare(benchmark::State& state) {
    std::vector<float> block = fresh_block();
    const std::vector<float> source = block;
    float left = 0.70710677f, right = 0.70710677f;
    benchmark::DoNotOptimize(left);
    benchmark::DoNotOptimize(right);
    int n = 0;
    for (auto _ : state) {
        if (++n == kRefill) {
            std::memcpy(block.data(), source.data(), block.size() * sizeof(float));
            n = 0;
        }
        float* p = block.data();
        for (uint32_t f = 0; f < kFrames; ++f) {
            p[2 * f] *= left;
            p[2 * f + 1] *= right;
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
}

// A refresh's publication in this binary's own plug-in state: the copy of
// 512 users into the writers' table and their join with 512 speakers into
// a new mix table. Writers wait for it; the audio thread never does.
void run_publish(benchmark::State& state) {
    static UserHashDirectory users;
    static SpeakerTable speakers;
    for (uint32_t i = 0; i < kMaxUsers; ++i) {
        users.entries[i].user_id = i;
        copy_text(users.entries[i].hash, kHashField, speaker_hash(i).c_str());
        copy_text(speakers.entries[i].hash, kHashField, users.entries[i].hash);
        speakers.entries[i].gain = 1.0f;
        speakers.entries[i].pan = 0.0f;
        speakers.keys[i] = hash_key(users.entries[i].hash);
    }
    users.count = speakers.count = kMaxUsers;
    g_mixer.publish_speakers(speakers);
    for (auto _ : state) {
        g_mixer.publish_directory(users);
        benchmark::ClobberMemory();
    }
}

void BM_bare_loop(benchmark::State& s) { run_bare(s); }
void BM_plugin_100_users(benchmark::State& s) { run_plugin(s, g_small); }
void BM_plugin_512_users_found_last(benchmark::State& s) { run_plugin(s, g_full); }
void BM_publish_512_users_joined(benchmark::State& s) { run_publish(s); }
BENCHMARK(BM_bare_loop);
BENCHMARK(BM_plugin_100_users);
BENCHMARK(BM_plugin_512_users_found_last);
BENCHMARK(BM_publish_512_users_joined);

// Keeps each benchmark's time per iteration for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) ns[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
};
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    pt::net_init();
    FakeHost::get().reset();
    std::string why;
    if (!g_small.prepare(100, &why) || !g_full.prepare(512, &why)) {
        std::fprintf(stderr, "audio_bench: set-up failed: %s\n", why.c_str());
        return 1;
    }
    Collector report;
    benchmark::RunSpecifiedBenchmarks(&report);
    g_small.finish();
    g_full.finish();

    auto at = [&](const char* name) { return report.ns.count(name) ? report.ns[name] : 0.0; };
    const double bare = at("BM_bare_loop");
    if (bare > 0) {
        const double a = at("BM_plugin_100_users") / bare, b = at("BM_plugin_512_users_found_last") / bare;
        std::printf("\n480-frame stereo block, plug-in / bare loop:\n");
        std::printf("  100 users, 100 speakers:              %.2fx  (target <= 2x)  %s\n", a, a <= 2 ? "ok" : "OVER");
        std::printf("  512 users, 512 speakers, found last:  %.2fx  (target <= 5x)  %s\n", b, b <= 5 ? "ok" : "OVER");
    }
    if (double p = at("BM_publish_512_users_joined"); p > 0)
        std::printf("a refresh publishing 512 users joined with 512 speakers (writers only): %.0f ns\n", p);
    benchmark::Shutdown();
    return 0;
}
