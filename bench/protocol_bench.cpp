// The cost of one full-size update line, for two lines of 8191 characters:
// 512 distinct speakers, and 1300 items naming 512 speakers (repeats in
// other letter case). Prints the parse into the worker's own table, the
// publication (copy and join into a new mix table) and, for comparison, a
// plain copy of the table's used entries; and the receive calls that
// reading such a line off a loopback connection costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "falloff/connection.h"
#include "falloff/protocol.h"
#include "testkit/test_os.h"
#include "mixer/mixer.h"

namespace pt = test_os;

// The writers' side in this binary, as the plug-in has it.
static Mixer g_mixer;

namespace {
constexpr size_t kFullLine = kLineBuffer - 1;  // 8191 characters
const char kKeyword[] = "UPDATE2 ";

// Widens the line to exactly 8191 characters with blanks after commas,
// which the parser skips like any other white space around items.
std::string pad(const std::string& payload) {
    std::string out;
    size_t missing = kFullLine - (sizeof kKeyword - 1) - payload.size();
    for (char c : payload) {
        out.push_back(c);
        if (c == ',' && missing > 0) {
            out.push_back(' ');
            --missing;
        }
    }
    out.append(missing, ' ');
    return kKeyword + out;
}

std::string distinct_line() {
    std::string p;
    char item[32];
    for (int i = 0; i < 512; ++i) {
        std::snprintf(item, sizeof item, "%s%05x 0.%d -0.%d", i ? "," : "", 0xa0000 + i * 97, i % 10, (i / 10) % 10);
        p += item;
    }
    return pad(p);
}

std::string repeating_line() {
    std::string p;
    char item[32];
    for (int i = 0; i < 1300; ++i) {
        std::snprintf(item, sizeof item, i < 512 ? "%s%03x %d" : "%s%03X %d", i ? "," : "", i % 512, i % 2);
        p += item;
    }
    return pad(p);
}

struct Case {
    std::string line;
    std::unique_ptr<SpeakerTable> table = std::make_unique<SpeakerTable>();
};
Case g_cases[2];
std::unique_ptr<SpeakerTable> g_copy = std::make_unique<SpeakerTable>();

const char* payload(const Case& c) { return c.line.c_str() + sizeof kKeyword - 1; }

void label(benchmark::State& state, const Case& c) {
    state.SetLabel(state.range(0) == 0 ? "512 distinct items" : "1300 items, 512 hashes");
    state.counters["entries"] = static_cast<double>(c.table->count);
}

void BM_Parse(benchmark::State& state) {
    Case& c = g_cases[state.range(0)];
    for (auto _ : state) {
        build_speaker_table(payload(c), UpdateKind::update2, c.table.get());
        benchmark::ClobberMemory();
    }
    label(state, c);
}

// What a writer does with a parsed table: the copy into the writers' table
// and the join with a directory of 512 users into a new mix table. The
// audio thread never waits for any of it.
void BM_PublishAndJoin(benchmark::State& state) {
    Case& c = g_cases[state.range(0)];
    for (auto _ : state) {
        g_mixer.publish_speakers(*c.table);
        benchmark::ClobberMemory();
    }
    label(state, c);
}

void BM_PlainCopy(benchmark::State& state) {
    Case& c = g_cases[state.range(0)];
    for (auto _ : state) {
        std::memcpy(g_copy->entries, c.table->entries, c.table->count * sizeof(SpeakerEntry));
        g_copy->count = c.table->count;
        benchmark::ClobberMemory();
    }
    label(state, c);
}

// The first 8190 characters of the line and a line feed, written by a
// loopback peer and read back with read_line.
void BM_ReadLineLoopback(benchmark::State& state) {
    const Case& c = g_cases[state.range(0)];
    const std::string wire = c.line.substr(0, kFullLine - 1) + "\n";
    uint16_t port = 0;
    pt::Sock listener = pt::listen_loopback(0, 1, &port);
    auto conn = std::make_unique<Connection>();
    connection_open(conn.get(), pt::connect_loopback(port), nullptr, 5000, 5000);
    pt::Sock peer = pt::accept_for(listener, 2000);
    pt::close_sock(listener);
    if (conn->sock == pt::kBad || peer == pt::kBad) {
        state.SkipWithError("no loopback connection");
        return;
    }
    const uint64_t calls = connection_receive_calls_seam();
    for (auto _ : state) {
        pt::send_all(peer, wire.data(), wire.size());
        if (read_line(conn.get()) != ReadOutcome::line || std::strlen(conn->splitter.line) != kFullLine - 1) {
            state.SkipWithError("line not read whole");
            break;
        }
    }
    state.counters["receive_calls_per_line"] =
        static_cast<double>(connection_receive_calls_seam() - calls) / static_cast<double>(state.iterations());
    state.SetLabel(state.range(0) == 0 ? "512 distinct items" : "1300 items, 512 hashes");
    pt::close_sock(peer);
    plat::net_close(conn->sock);
}

BENCHMARK(BM_Parse)->Arg(0)->Arg(1);
BENCHMARK(BM_PublishAndJoin)->Arg(0)->Arg(1);
BENCHMARK(BM_PlainCopy)->Arg(0)->Arg(1);
BENCHMARK(BM_ReadLineLoopback)->Arg(0)->Arg(1);
}  // namespace

int main(int argc, char** argv) {
    pt::net_init();

    g_cases[0].line = distinct_line();
    g_cases[1].line = repeating_line();
    for (Case& c : g_cases) {
        build_speaker_table(payload(c), UpdateKind::update2, c.table.get());
        if (c.line.size() != kFullLine || c.table->count != kMaxSpeakers) {
            std::fprintf(stderr, "bench line malformed: %zu characters, %llu entries\n", c.line.size(),
                         static_cast<unsigned long long>(c.table->count));
            return 1;
        }
    }
    // A directory whose users are the first line's speakers, for the join.
    auto users = std::make_unique<UserHashDirectory>();
    for (uint32_t i = 0; i < kMaxSpeakers; ++i) {
        users->entries[i].user_id = 100 + i;
        copy_text(users->entries[i].hash, kHashField, g_cases[0].table->entries[i].hash);
    }
    users->count = kMaxSpeakers;
    g_mixer.publish_directory(*users);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
