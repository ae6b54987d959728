// How long the audio callback takes, call by call, while a writer
// republishes as fast as it can on a machine with more busy threads than
// cores: the published mix table against the mutex the audio path used to
// share with the writers (a copy of that look-up lives in this file only).
// The bare scaling loop timed under the same load is the machine's floor:
// interrupts, and in a virtual machine the host's own scheduling, stall
// even a thread that waits on nothing. Then the plain cost of the
// mix-table path against the bare scaling loop on a quiet machine: a steady
// block (the speaker's level as on their last block), a ramping one (a
// new level every block) and a gliding one (the level where the speaker's
// glides stand, read from the clock, new every block), beside a copy of
// the path before the ramps.
//
//   build/bin/audio_latency_bench [--normal-priority]
//
// The measuring thread plays the host's audio thread, which runs with a
// real-time priority: it asks for SCHED_FIFO, and says so when refused.
// With --normal-priority it stays with the other threads, and its own
// preemptions then show in every maximum. Prints each figure with its
// target; the targets are not enforced here.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/gain_pan.h"
#include "audio/mix_table.h"
#include "common/clock.h"
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"

using Clock = std::chrono::steady_clock;

namespace {
constexpr uint32_t kFrames = 480;  // 10 ms at 48 kHz
constexpr uint32_t kSamples = 2 * kFrames;
constexpr uint32_t kFirstUser = 10;
constexpr size_t kCalls = 1000000;
constexpr size_t kWarmUp = 10000;
// Calls in a row before the audio thread sleeps, as it does between the
// host's 10 ms periods; a real-time thread that never sleeps is also
// throttled by the kernel, which would show as a stall of its own.
constexpr size_t kBurst = 1000;
constexpr float kSample = 0.25f;
constexpr float kCentre = 0.70710677f;  // either side of a centred pan, at gain 1

float g_block[kSamples];  // static: the compiler keeps its stores inside the timed call
float g_source[kSamples];

uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// 40 hex digits, as the host gives a certificate's hash; the first eight
// differ from user to user, as those of real hashes do.
void cert_hash(uint32_t i, char* out) {
    std::snprintf(out, kHashField, "%016llx%016llx%08llx", static_cast<unsigned long long>(mix64(i)),
                  static_cast<unsigned long long>(mix64(i + 100000)),
                  static_cast<unsigned long long>(mix64(i + 200000) & 0xFFFFFFFFull));
}

// ---- the audio path as it was: one mutex shared with the writers ----------

// The former directory, with the packed copy of the ids its scan read.
struct OldDirectory {
    UserHashEntry entries[kMaxUsers];
    uint32_t ids[kMaxUsers];
    size_t count;
};

struct LockedTables {
    std::mutex lock;
    OldDirectory directory;
    SpeakerTable speakers;
};
LockedTables g_locked;                  // the shared tables the callback reads
OldDirectory g_directory_source;   // what the writer copies in
SpeakerTable g_speakers_source;

bool old_lookup_user_hash(const OldDirectory& d, uint32_t user_id, char* out) {
    const size_t n = d.count;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        unsigned hit = 0;
        for (size_t k = 0; k < 16; ++k) hit |= d.ids[i + k] == user_id;
        if (hit) break;
    }
    for (; i < n; ++i) {
        if (d.ids[i] == user_id) {
            copy_text(out, kHashField, d.entries[i].hash);
            return true;
        }
    }
    return false;
}

const SpeakerEntry* old_find_speaker(const SpeakerTable& t, const char* hash) {
    const uint64_t key = hash_key(hash);
    const uint64_t n = t.count;
    uint64_t i = 0;
    const uint32_t low = static_cast<uint32_t>(key);
    for (; i + 16 <= n; i += 16) {
        unsigned maybe = 0;
        for (uint64_t k = 0; k < 16; ++k) maybe |= static_cast<uint32_t>(t.keys[i + k]) == low;
        if (!maybe) continue;
        for (uint64_t k = i; k < i + 16; ++k)
            if (t.keys[k] == key && hash_equal(t.entries[k].hash, hash)) return &t.entries[k];
    }
    for (; i < n; ++i)
        if (t.keys[i] == key && hash_equal(t.entries[i].hash, hash)) return &t.entries[i];
    return nullptr;
}

// Both look-ups in one lock span, then the levels turned into factors and
// the block scaled: the callback before the mix table (stereo only here).
// Out of line, like the plug-in's own: the frame count is not a constant.
[[gnu::noinline]] void old_apply_speaker_gain(float* pcm, uint32_t frames, uint32_t user) {
    float gain = 0.0f, pan = 0.0f;
    {
        char hash[kHashField];
        std::lock_guard<std::mutex> held(g_locked.lock);
        if (old_lookup_user_hash(g_locked.directory, user, hash)) {
            if (const SpeakerEntry* e = old_find_speaker(g_locked.speakers, hash)) {
                gain = e->gain;
                pan = e->pan;
            }
        }
    }
    if (!std::isfinite(gain) || !std::isfinite(pan)) gain = pan = 0.0f;
    const float g = clamp(gain, 0.0f, 1.0f);
    float l, r;
    pan_factors(clamp(pan, -1.0f, 1.0f), &l, &r);
    const float f[2] = {g * l, g * r};
    scale_interleaved(pcm, 2 * size_t{frames}, f);
}

void fill_locked_tables(uint32_t n) {
    OldDirectory& d = g_directory_source;
    SpeakerTable& s = g_speakers_source;
    for (uint32_t i = 0; i < n; ++i) {
        d.entries[i].user_id = d.ids[i] = kFirstUser + i;
        cert_hash(i, d.entries[i].hash);
        copy_text(s.entries[i].hash, kHashField, d.entries[i].hash);
        s.entries[i].gain = 1.0f;
        s.entries[i].pan = 0.0f;
        s.keys[i] = hash_key(s.entries[i].hash);
    }
    d.count = s.count = n;
    g_locked.directory = d;
    g_locked.speakers = s;
}

// The old writers' step under the lock: the falloff worker publishing a
// speaker table, or a remix publishing the directory.
void old_publish(bool speakers) {
    std::lock_guard<std::mutex> held(g_locked.lock);
    if (speakers) {
        const SpeakerTable& t = g_speakers_source;
        std::memcpy(g_locked.speakers.entries, t.entries, t.count * sizeof(SpeakerEntry));
        std::memcpy(g_locked.speakers.keys, t.keys, t.count * sizeof(uint64_t));
        g_locked.speakers.count = t.count;
    } else {
        const OldDirectory& d = g_directory_source;
        std::memcpy(g_locked.directory.entries, d.entries, d.count * sizeof(UserHashEntry));
        std::memcpy(g_locked.directory.ids, d.ids, d.count * sizeof(uint32_t));
        g_locked.directory.count = d.count;
    }
}

// ---- the audio path as it is: the published mix table ---------------------

MixPublisher g_mix;
MixPublisher g_mix_other;  // the same rows at the other gain: every block a change
RampMemory g_ramps;

// Rows for users kFirstUser.. in order. The gain alternates, so every
// publication is a new table.
void publish_mix(uint32_t rows, uint32_t generation, MixPublisher* to = &g_mix) {
    static MixTable t;
    t.count = 0;
    const float gain = (generation & 1) ? 1.0f : 0.5f;
    for (uint32_t i = 0; i < rows; ++i) mix_add_row(&t, kFirstUser + i, gain, 0.0f);
    to->publish(t);
}

void new_call(uint32_t user) { apply_speaker_gain(g_mix, g_ramps, true, g_block, kFrames, 2, true, user); }

// Each call's table the other one of the pair: the speaker's level changes
// with every block, which the plug-in ramps.
const MixPublisher& next_of_pair() {
    static bool flip = false;
    flip = !flip;
    return flip ? g_mix_other : g_mix;
}
void ramping_call(uint32_t user) { apply_speaker_gain(next_of_pair(), g_ramps, true, g_block, kFrames, 2, true, user); }

// Rows whose gain glides from 0 to 1 and pan from -1 to 0 over 2 s from
// now: every block reads the clock, takes the glides' values and the pan
// law's square roots, and ramps to factors that moved since the last block.
MixPublisher g_mix_glide;
void publish_gliding(uint32_t rows) {
    static MixTable t;
    t.count = 0;
    for (uint32_t i = 0; i < rows; ++i) mix_add_row(&t, kFirstUser + i, 1.0f, 0.0f);
    const uint64_t now = glide_now_us();
    for (uint32_t i = 0; i < rows; ++i) {
        t.gain_glide[i] = Glide{0.0f, 1.0f, now, 2000000};
        t.pan_glide[i] = Glide{-1.0f, 0.0f, now, 2000000};
    }
    g_mix_glide.publish(t);
}
void gliding_call(uint32_t user) { apply_speaker_gain(g_mix_glide, g_ramps, true, g_block, kFrames, 2, true, user); }

// The callback before the ramps, kept here as it was: the factors of the
// current table applied to the whole block as they come.
[[gnu::noinline]] bool stepping_apply(const MixPublisher& mix, bool enabled, float* pcm, uint32_t frames,
                                      uint16_t channels, bool speech, uint32_t user) {
    if (!pcm || !speech || channels == 0 || !enabled) return false;
    const MixFactors v = mix.factors(user);
    const size_t n = frames;
    if (channels == 1) {
        const float f[2] = {v.gain, v.gain};
        scale_interleaved(pcm, n, f);
        return true;
    }
    if (channels == 2) {
        const float f[2] = {v.left, v.right};
        scale_interleaved(pcm, 2 * n, f);
        return true;
    }
    for (size_t f = 0; f < n; ++f) {
        float* frame = pcm + f * channels;
        frame[0] *= v.left;
        frame[1] *= v.right;
        for (size_t k = 2; k < channels; ++k) frame[k] *= v.gain;
    }
    return true;
}
void stepping_call(uint32_t user) {
    uint32_t frames = kFrames;  // the host's argument: no constant to fold in
    benchmark::DoNotOptimize(frames);
    stepping_apply(g_mix, true, g_block, frames, 2, true, user);
}

// ---- the load --------------------------------------------------------------

// Threads that spin until stopped: more runnable threads than cores, so
// the scheduler preempts whoever is not real-time, a writer included.
class Spinners {
public:
    explicit Spinners(unsigned n) {
        for (unsigned i = 0; i < n; ++i)
            threads_.emplace_back([this] {
                unsigned long x = 0;
                while (!stop_.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(++x);
            });
    }
    ~Spinners() {
        stop_.store(true);
        for (std::thread& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// A writer that repeats its step until stopped, counting the steps.
class Writer {
public:
    explicit Writer(std::function<void(uint64_t)> step)
        : thread_([this, step] {
              uint64_t n = 0;
              while (!stop_.load(std::memory_order_relaxed)) step(n++);
              steps_ = n;
          }) {}
    uint64_t stop() {
        stop_.store(true);
        thread_.join();
        return steps_;
    }

private:
    std::atomic<bool> stop_{false};
    uint64_t steps_ = 0;
    std::thread thread_;
};

// ---- measuring -------------------------------------------------------------

bool g_realtime_wanted = true;

// The calling thread as the host's audio thread: real-time, first in, first out.
bool become_realtime() {
    sched_param p{};
    p.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}

struct Latency {
    int64_t median, p999, max;  // ns
    size_t slow;                // calls over 20 x the median
    bool realtime;
};

Latency summarise(std::vector<int64_t>& ns, bool realtime) {
    auto at = [&](double q) {
        auto k = ns.begin() + static_cast<ptrdiff_t>(q * static_cast<double>(ns.size() - 1));
        std::nth_element(ns.begin(), k, ns.end());
        return *k;
    };
    Latency l{at(0.5), at(0.999), 0, 0, realtime};
    l.max = *std::max_element(ns.begin(), ns.end());
    l.slow = static_cast<size_t>(std::count_if(ns.begin(), ns.end(), [&](int64_t d) { return d > 20 * l.median; }));
    return l;
}

// kCalls timed calls on a thread of their own, each on a mixly decoded
// block (the copy is not timed), in bursts of kBurst.
template <class Call>
Latency time_calls(Call call) {
    Latency result{};
    std::thread audio([&] {
        const bool realtime = g_realtime_wanted && become_realtime();
        std::vector<int64_t> ns(kCalls);  // touched here, not while timing
        for (size_t i = 0; i < kWarmUp + kCalls; ++i) {  // the first ones warm caches and predictors
            std::memcpy(g_block, g_source, sizeof g_block);
            benchmark::ClobberMemory();
            const Clock::time_point t0 = Clock::now();
            call();
            const Clock::time_point t1 = Clock::now();
            benchmark::ClobberMemory();
            if (i >= kWarmUp) ns[i - kWarmUp] = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
            if (i % kBurst == kBurst - 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        result = summarise(ns, realtime);
    });
    audio.join();
    return result;
}

// What one timing adds by itself: two reads of the clock back to back.
int64_t clock_pair_ns() {
    std::vector<int64_t> ns(100000);
    for (int64_t& d : ns) {
        const Clock::time_point t0 = Clock::now();
        const Clock::time_point t1 = Clock::now();
        d = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
    }
    std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
    return ns[ns.size() / 2];
}

struct Loaded {
    Latency latency;
    uint64_t writes;
};

template <class Call>
Loaded under_load(unsigned spinners, std::function<void(uint64_t)> write, Call call) {
    Spinners load(spinners);
    Writer writer(write);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all running
    const Latency l = time_calls(call);
    return Loaded{l, writer.stop()};
}

// ---- plain cost ------------------------------------------------------------

// Mean ns per call over a batch, the block refilled every 32 calls before
// its samples go subnormal (as in audio_bench).
template <class Call>
double batch_ns(Call call) {
    constexpr int kBatch = 5000;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
        if (i % 32 == 0) std::memcpy(g_block, g_source, sizeof g_block);
        call();
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kBatch;
}

const char* verdict(bool ok) { return ok ? "ok" : "OVER"; }

// Checks that the user is heard at the factor the tables give, so the
// timings are of a look-up that finds its row.
template <class Call>
bool finds(Call call, float factor, const char* what) {
    call();  // a first block may ramp to the table's level
    std::memcpy(g_block, g_source, sizeof g_block);
    call();
    const float want = kSample * factor;
    if (std::fabs(g_block[0] - want) < 1e-6f && std::fabs(g_block[kSamples - 1] - want) < 1e-6f) return true;
    std::fprintf(stderr, "audio_latency_bench: %s: sample %g, expected %g\n", what, g_block[0], want);
    return false;
}
void print_latency(const char* name, const Loaded& r) {
    const Latency& l = r.latency;
    std::printf("  %-40s %8lld %8lld %10lld %7zu %13llu\n", name, static_cast<long long>(l.median),
                static_cast<long long>(l.p999), static_cast<long long>(l.max), l.slow,
                static_cast<unsigned long long>(r.writes));
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--normal-priority") != 0) {
            std::fprintf(stderr, "usage: %s [--normal-priority]\n", argv[0]);
            return 2;
        }
        g_realtime_wanted = false;
    }
    std::fill(std::begin(g_source), std::end(g_source), kSample);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned spinners = 2 * cores;
    const uint32_t full = kMaxMixRows, last = kFirstUser + full - 1;

    // The plug-in's own multiply without the look-up. (A plain loop over
    // frames, in place, ran five to fifteen times slower in some runs of
    // this same program on a virtual machine: no baseline to compare with.)
    const auto bare = [] {
        float f[2] = {kCentre, kCentre};
        benchmark::DoNotOptimize(f);  // not constants to the compiler
        scale_interleaved(g_block, kSamples, f);
    };
    const auto mix_100 = [] { new_call(kFirstUser + 99); };
    const auto mix_512 = [=] { new_call(last); };
    const auto ramp_100 = [] { ramping_call(kFirstUser + 99); };
    const auto ramp_512 = [=] { ramping_call(last); };
    const auto glide_100 = [] { gliding_call(kFirstUser + 99); };
    const auto glide_512 = [=] { gliding_call(last); };
    const auto step_100 = [] { stepping_call(kFirstUser + 99); };
    const auto step_512 = [=] { stepping_call(last); };
    const auto locked_512 = [=] {
        uint32_t frames = kFrames;  // the host's argument: no constant to fold in
        benchmark::DoNotOptimize(frames);
        old_apply_speaker_gain(g_block, frames, last);
    };
    const auto mix_writer = [=](uint64_t n) { publish_mix(full, static_cast<uint32_t>(n)); };
    const auto locked_writer = [](uint64_t n) { old_publish(n & 1); };

    // Every look-up must find its row, or the timings are of silence.
    fill_locked_tables(full);
    publish_mix(100, 1);
    if (!finds(mix_100, kCentre, "mix table, 100 rows") || !finds(step_100, kCentre, "before ramps, 100 rows"))
        return 1;
    publish_mix(full, 1);
    if (!finds(mix_512, kCentre, "mix table, 512 rows") || !finds(step_512, kCentre, "before ramps, 512 rows") ||
        !finds(locked_512, kCentre, "mutex, 512 users"))
        return 1;
    publish_gliding(full);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a tenth of the way
    std::memcpy(g_block, g_source, sizeof g_block);
    glide_512();  // ends a tenth of the way (it starts where the checks above left the speaker)
    if (!(g_block[kSamples - 2] > 0.0f && g_block[kSamples - 2] < 0.5f * kSample)) {
        std::fprintf(stderr, "audio_latency_bench: gliding, 512 rows: sample %g, expected a tenth of the way\n",
                     g_block[kSamples - 2]);
        return 1;
    }

    // Plain cost on a quiet machine: the variants in turn, the best batch of
    // each. Steady: the table stays, so every block after the first is
    // scaled as before the ramps. Ramping: every block meets the other table.
    constexpr int kRounds = 40;
    struct Size {
        uint32_t rows;
        double step, steady, ramp, glide;
    } sizes[] = {{100, 1e300, 1e300, 1e300, 1e300}, {full, 1e300, 1e300, 1e300, 1e300}};
    double t_bare = 1e300, t_locked = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        t_bare = std::min(t_bare, batch_ns(bare));
        for (Size& z : sizes) {
            const bool small = z.rows == 100;
            publish_mix(z.rows, 1);
            publish_mix(z.rows, 0, &g_mix_other);
            z.step = std::min(z.step, small ? batch_ns(step_100) : batch_ns(step_512));
            z.steady = std::min(z.steady, small ? batch_ns(mix_100) : batch_ns(mix_512));
            z.ramp = std::min(z.ramp, small ? batch_ns(ramp_100) : batch_ns(ramp_512));
            publish_gliding(z.rows);  // a batch takes milliseconds: the glide is still under way
            z.glide = std::min(z.glide, small ? batch_ns(glide_100) : batch_ns(glide_512));
        }
        t_locked = std::min(t_locked, batch_ns(locked_512));
    }
    publish_mix(full, 1);

    // Latency under load. The bare loop under the mix table's load is the
    // machine's own floor: what no look-up can go below.
    const Loaded floor = under_load(spinners, mix_writer, bare);
    const Loaded mix = under_load(spinners, mix_writer, mix_512);
    const Loaded locked = under_load(spinners, locked_writer, locked_512);

    std::printf("audio_latency_bench: %u cores, %u spinning threads, %zu timed calls per row, "
                "480-frame stereo blocks\n",
                cores, spinners, kCalls);
    std::printf("clock: steady_clock; two back-to-back reads differ by %lld ns (median), included below\n",
                static_cast<long long>(clock_pair_ns()));
    if (mix.latency.realtime && locked.latency.realtime && floor.latency.realtime) {
        std::printf("audio thread: SCHED_FIFO, as the host's real-time audio thread; writer and spinners: normal\n");
    } else {
        std::printf("audio thread: normal priority (%s); its own preemptions show in every maximum\n",
                    g_realtime_wanted ? "SCHED_FIFO refused" : "--normal-priority");
    }

    std::printf("\nCallback latency while a writer republishes as fast as it can (ns per call):\n");
    std::printf("  %-40s %8s %8s %10s %7s %13s\n", "", "median", "p99.9", "max", ">20xmed", "writer steps");
    print_latency("mix table, 512 rows, user found last", mix);
    print_latency("mutex, 512 users/speakers, found last", locked);
    print_latency("bare scaling loop (machine's floor)", floor);
    const Latency& a = mix.latency;
    const Latency& b = locked.latency;
    std::printf("  target: mix table max <= 20 x its median:  %lld <= %lld  %s\n", static_cast<long long>(a.max),
                static_cast<long long>(20 * a.median), verdict(a.max <= 20 * a.median));
    std::printf("  target: mix table max far below the mutex's (at most a tenth):  %lld vs %lld, %.0fx lower  %s\n",
                static_cast<long long>(a.max), static_cast<long long>(b.max),
                static_cast<double>(b.max) / static_cast<double>(std::max<int64_t>(a.max, 1)),
                verdict(10 * a.max <= b.max));

    std::printf("\nPlain cost on a quiet machine, best of %d batches (ns per 480-frame stereo block):\n", kRounds);
    std::printf("  %-46s %7.1f\n", "bare scaling loop", t_bare);
    for (const Size& z : sizes) {
        const char* of = z.rows == 100 ? "100 users / 100 speakers" : "512 / 512, user found last";
        char name[80];
        std::snprintf(name, sizeof name, "before ramps (a copy), %s", of);
        std::printf("  %-46s %7.1f  %5.2fx\n", name, z.step, z.step / t_bare);
        std::snprintf(name, sizeof name, "steady block, %s", of);
        std::printf("  %-46s %7.1f  %5.2fx  target <= 1.2x  %s\n", name, z.steady, z.steady / t_bare,
                    verdict(z.steady <= 1.2 * t_bare));
        std::snprintf(name, sizeof name, "ramping block, %s", of);
        std::printf("  %-46s %7.1f  %5.2fx  target <= 2x    %s\n", name, z.ramp, z.ramp / t_bare,
                    verdict(z.ramp <= 2.0 * t_bare));
        std::snprintf(name, sizeof name, "gliding block, %s", of);
        std::printf("  %-46s %7.1f  %5.2fx  target <= 2x    %s\n", name, z.glide, z.glide / t_bare,
                    verdict(z.glide <= 2.0 * t_bare));
    }
    std::printf("  %-46s %7.1f  %5.2fx  (for comparison)\n", "mutex, 512 / 512, user found last", t_locked,
                t_locked / t_bare);
    return 0;
}
