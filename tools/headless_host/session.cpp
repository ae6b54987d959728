#include "session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "audio_output.h"
#include "testkit/fake_host.h"
#include "testkit/plugin_lib.h"
#include "testkit/test_os.h"
#include "voice.h"

namespace pt = test_os;

namespace {
using Clock = std::chrono::steady_clock;
constexpr mumble_plugin_id_t kPluginId = 1;
constexpr mumble_connection_t kConnection = 0;
constexpr mumble_channelid_t kRootChannel = 0, kOtherChannel = 1;

// Simulated time: 0 at start, speed simulated seconds per wall second.
struct Timeline {
    Clock::time_point start;
    double speed = 1;
    Clock::time_point at(double t) const {
        return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t / speed));
    }
    double now() const { return std::chrono::duration<double>(Clock::now() - start).count() * speed; }
};

std::mutex g_print;
Timeline g_time;

void say(const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(g_print);
    std::printf("[%7.2fs] host: %s\n", g_time.now(), msg);
    std::fflush(stdout);
}

std::string version_text(MumbleVersion v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

// The order in which the host announces a user: the root channel is
// entered, the user added, and only afterwards does it store the user's
// certificate hash, so a hash asked for inside these calls is still empty.
void announce_user(const PluginLib& p, const CastMember& m) {
    FakeHost::get().add_user({.id = m.session});
    if (p.onChannelEntered) p.onChannelEntered(kConnection, m.session, -1, kRootChannel);
    if (p.onUserAdded) p.onUserAdded(kConnection, m.session);
    FakeHost::get().set_hash(m.session, m.hash);
}

std::vector<std::string> g_log_lines;

// Updates the plug-in logged: each "received ..." entry is one, and a run
// of repeats is told as the same text with its count, "... (x10)".
int count_updates(const std::string& log) {
    const std::string entry = "received UPDATE";
    int n = 0;
    for (size_t at = log.find(entry); at != std::string::npos; at = log.find(entry, at + 1)) {
        const size_t end = log.find('\r', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const size_t count = line.rfind(" (x");
        n += count == std::string::npos ? 1 : std::atoi(line.c_str() + count + 3);
    }
    return n;
}

void write_levels(const std::string& path, const std::vector<LevelRow>& rows, const std::vector<CastMember>& cast) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return;
    std::fprintf(f, "t,session,name,role,gain,pan,left,right,energy\n");
    for (const LevelRow& r : rows) {
        const CastMember* m = nullptr;
        for (const CastMember& c : cast)
            if (c.session == r.session) m = &c;
        std::fprintf(f, "%.2f,%u,%s,%s,", r.t, r.session, m->name.c_str(), m->role.c_str());
        double g = std::sqrt(double(r.left) * r.left + double(r.right) * r.right);
        if (!r.measured) std::fprintf(f, ",,,,");
        else if (g < 1e-6) std::fprintf(f, "0,,%.5f,%.5f,", r.left, r.right);  // silent: pan has no meaning
        else std::fprintf(f, "%.5f,%.5f,%.5f,%.5f,", g, (double(r.right) * r.right - double(r.left) * r.left) / (g * g), r.left, r.right);
        std::fprintf(f, "%.6f\n", r.energy);
    }
    std::fclose(f);
}

// The level a speaker's block was given, from the factors the plug-in
// applied to its left and right channel (a constant-power pan).
void gain_and_pan(double left, double right, double* gain, double* pan) {
    *gain = std::sqrt(left * left + right * right);
    *pan = *gain < 1e-6 ? 0 : (right * right - left * left) / (*gain * *gain);
}

// One line of what the plug-in applied to each remote user since the last
// such line: gain and pan, silent, or not talking (no block to measure).
void print_applied(const std::vector<Talker>& talkers, std::vector<uint32_t>& seen) {
    std::string line;
    for (size_t i = 0; i < talkers.size(); ++i) {
        const uint32_t blocks = talkers[i].measured_blocks.load();
        char part[128];
        double gain, pan;
        gain_and_pan(talkers[i].last_left.load(), talkers[i].last_right.load(), &gain, &pan);
        if (blocks == seen[i]) std::snprintf(part, sizeof part, "%s not talking", talkers[i].name.c_str());
        else if (gain < 0.005) std::snprintf(part, sizeof part, "%s silent", talkers[i].name.c_str());
        else std::snprintf(part, sizeof part, "%s gain %.2f pan %+.2f", talkers[i].name.c_str(), gain, pan);
        seen[i] = blocks;
        line += (line.empty() ? "" : ", ") + std::string(part);
    }
    say("applied: %s", line.empty() ? "(no remote users)" : line.c_str());
}

void summarise(const std::vector<LevelRow>& rows, const std::vector<CastMember>& cast, SessionReport* report) {
    for (const CastMember& m : cast) {
        if (m.role == "listener") continue;
        SpeakerSummary s;
        s.name = m.name;
        s.role = m.role;
        bool first = true;
        for (const LevelRow& r : rows) {
            if (r.session != m.session) continue;
            s.talking_s += 0.01;
            if (!r.measured) continue;
            double g, pan;
            gain_and_pan(r.left, r.right, &g, &pan);
            s.measured = true;
            s.last_gain = g;
            s.last_pan = pan;
            if (g < 0.01) continue;
            s.audible_s += 0.01;
            s.peak_gain = std::max(s.peak_gain, g);
            s.min_pan = first ? pan : std::min(s.min_pan, pan);
            s.max_pan = first ? pan : std::max(s.max_pan, pan);
            first = false;
        }
        report->speakers.push_back(s);
    }
}
}  // namespace

int run_session(const SessionOptions& o, SessionReport* report) {
    std::string error;
    std::vector<CastMember> cast;
    if (!read_cast(o.cast, &cast, &error)) {
        std::fprintf(stderr, "headless_host: %s\n", error.c_str());
        return 2;
    }
    g_time.speed = o.speed > 0 ? o.speed : 1;
    g_time.start = Clock::now();
    if (o.epoch_ms > 0) {
        auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        g_time.start += std::chrono::milliseconds(o.epoch_ms - wall);
    } else {
        g_time.start += std::chrono::milliseconds(500);  // lets the plug-in connect first
    }

    // Voices of the remote users.
    const CastMember* listener = nullptr;
    std::vector<const CastMember*> remotes;
    for (const CastMember& m : cast) {
        if (m.role == "listener") listener = &m;
        else remotes.push_back(&m);
    }
    std::vector<Talker> talkers(remotes.size());
    for (size_t i = 0; i < remotes.size(); ++i) {
        Talker& t = talkers[i];
        t.session = remotes[i]->session;
        t.name = remotes[i]->name;
        t.pause_frames = static_cast<uint32_t>((0.4 + 0.25 * static_cast<double>(i)) * kHostRate);
        std::string why;
        if (o.synthetic || remotes[i]->voice.empty() || !load_voice(remotes[i]->voice, &t.voice, &why)) {
            if (!o.synthetic) say("%s: using a synthetic voice (%s)", t.name.c_str(), why.empty() ? "no voice file" : why.c_str());
            t.voice = synthetic_voice(static_cast<int>(i));
        }
    }

    // The log window.
    FakeHost& host = FakeHost::get();
    host.reset();
    g_log_lines.clear();
    host.set_log_sink([](const std::string& line) {
        std::lock_guard<std::mutex> g(g_print);
        g_log_lines.push_back(line);
        std::printf("[%7.2fs] log window: %s\n", g_time.now(), line.c_str());
        std::fflush(stdout);
    });

    // Discovery, then enabling in the host's order.
    PluginLib p;
    if (!p.load(o.library, &error, PluginLib::Need::mandatory)) {
        std::fprintf(stderr, "headless_host: %s\n", error.c_str());
        return 1;
    }
    MumbleVersion functions = p.getPluginFunctionsVersion ? p.getPluginFunctionsVersion() : MumbleVersion{1, 0, 0};
    say("found plug-in \"%s\" %s (API %s, functions %s) in %s", p.name().c_str(),
        p.getVersion ? version_text(p.getVersion()).c_str() : "?", version_text(p.getAPIVersion()).c_str(),
        version_text(functions).c_str(), o.library.c_str());
    std::string log_path = o.library.substr(0, o.library.find_last_of("/\\") + 1) + "quorra_link.log";
    std::string log_before;
    pt::read_file(log_path, &log_before);
    MumbleApi table = host.table();
    if (mumble_error_t rc = p.enable(kPluginId, &table); rc != kMumbleStatusOk) {
        if (rc == PluginLib::kInvalidApiVersion)
            std::fprintf(stderr, "headless_host: API version %s is not supported\n", version_text(p.getAPIVersion()).c_str());
        else
            std::fprintf(stderr, "headless_host: unable to load plugin (init returned %d)\n", rc);
        p.unload();
        return 1;
    }
    if (p.getFeatures) say("plug-in enabled, features %u", p.getFeatures());

    // The server connection: users present at connect time, then synchronisation.
    host.connect(kConnection);
    for (const CastMember& m : cast)
        if (m.joins_at <= 0) announce_user(p, m);
    host.set_local_user(listener->session);
    host.synchronise();
    say("connected to the voice server as %s; %zu users here", listener->name.c_str(), cast.size());
    if (p.onServerSynchronized) p.onServerSynchronized(kConnection);
    for (size_t i = 0; i < remotes.size(); ++i)
        if (remotes[i]->joins_at <= 0) talkers[i].present = true;

    // Audio, and the events of the script as their time comes.
    uint32_t blocks = static_cast<uint32_t>(std::lround(o.seconds * 100));
    AudioOutput audio;
    audio.run(p, &talkers, blocks, g_time.start, g_time.speed);
    enum class Kind { join, move, report };
    struct Event {
        double t;
        size_t remote;
        Kind kind;
    };
    std::vector<Event> events;
    for (size_t i = 0; i < remotes.size(); ++i) {
        if (remotes[i]->joins_at > 0) events.push_back({remotes[i]->joins_at, i, Kind::join});
        if (remotes[i]->moves_at >= 0) events.push_back({remotes[i]->moves_at, i, Kind::move});
    }
    if (o.every > 0)
        for (int n = 1; n * o.every <= o.seconds + 1e-9; ++n) events.push_back({n * o.every, 0, Kind::report});
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
    std::vector<uint32_t> seen(talkers.size(), 0);
    for (const Event& e : events) {
        if (e.t >= o.seconds && e.kind != Kind::report) continue;  // the run has ended by then
        std::this_thread::sleep_until(g_time.at(e.t));
        if (e.kind == Kind::report) {
            print_applied(talkers, seen);
            continue;
        }
        const CastMember& m = *remotes[e.remote];
        if (e.kind == Kind::join) {
            say("%s joins the voice server", m.name.c_str());
            announce_user(p, m);
            talkers[e.remote].present = true;
        } else {
            say("%s moves to another channel", m.name.c_str());
            if (p.onChannelEntered) p.onChannelEntered(kConnection, m.session, kRootChannel, kOtherChannel);
        }
    }
    audio.join();

    // Leaving the server: the connection's own thread reports it, then the
    // main thread takes the users away; then the plug-in is disabled.
    say("disconnecting from the voice server");
    std::thread([&p] {
        if (p.onServerDisconnected) p.onServerDisconnected(kConnection);
    }).join();
    host.disconnect();
    for (const CastMember& m : cast) {
        host.remove_user(m.session);
        if (p.onUserRemoved) p.onUserRemoved(kConnection, m.session);
    }
    p.shutdown();
    report->leaked = host.outstanding();
    p.unload();
    host.set_log_sink(nullptr);

    // What came out of it.
    if (!o.out_wav.empty() && !write_stereo_wav(o.out_wav, audio.mix(), kHostRate)) {
        std::fprintf(stderr, "headless_host: cannot write %s\n", o.out_wav.c_str());
        return 1;
    }
    if (!o.levels.empty()) write_levels(o.levels, audio.rows(), cast);
    summarise(audio.rows(), cast, report);
    std::string log_after;
    pt::read_file(log_path, &log_after);
    std::string new_log = log_after.size() >= log_before.size() ? log_after.substr(log_before.size()) : log_after;
    report->updates = count_updates(new_log);
    for (const std::string& line : g_log_lines) {
        if (line.find("connected to falloff") != std::string::npos) ++report->connects;
        size_t v = line.find("!verify ");
        if (v != std::string::npos) report->link_code = line.substr(v + 8);
    }
    return 0;
}
