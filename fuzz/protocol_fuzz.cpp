// Whatever bytes a falloff server sends, in memory: the first byte picks
// the size of the pieces in which the rest arrives (as receives would cut
// it: from a byte at a time to all at once), the line
// splitter cuts it into lines, the first line is the greeting's reply, and
// every later line is classified; updates are parsed into a speaker table.
// After every line the splitter and the table must keep their invariants,
// and only an exact PING may be answered.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "falloff/line_splitter.h"
#include "falloff/protocol.h"
#include "falloff/speaker_table.h"

namespace {
// The checker's parse: every event must name text inside the payload.
struct Watch : UpdateObserver {
    const char *from = nullptr, *to = nullptr;
    void inside(const char* p, size_t n) {
        if (p < from || p + n > to) fail_outside();
    }
    static void fail_outside();
    void dropped(const char* item, size_t n, Drop) override { inside(item, n); }
    void clamped(const char* item, size_t n, bool, float, float) override { inside(item, n); }
    void repeated(const char* item, size_t n, size_t) override { inside(item, n); }
    void table_full(const char* item, size_t n) override { inside(item, n); }
    void rest_ignored(const char* item, size_t n, const char* rest, size_t rest_n) override {
        inside(item, n);
        inside(rest, rest_n);
    }
};

struct Scratch {
    LineSplitter splitter;
    SpeakerTable table, observed;
    Watch watch;
    uint32_t by_key[kMaxSpeakers];
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "protocol_fuzz: %s\n", what);
    std::abort();
}

void Watch::fail_outside() { fail("an observed event outside its payload"); }

void check_table(Scratch* k) {
    const SpeakerTable& t = k->table;
    if (t.count > kMaxSpeakers) fail("more than 512 speakers");
    for (uint32_t i = 0; i < t.count; ++i) {
        const SpeakerEntry& e = t.entries[i];
        size_t n = strnlen(e.hash, kHashField);
        if (n == 0 || n >= kHashField) fail("hash of bad length");
        if (!(e.gain >= 0.0f && e.gain <= 1.0f)) fail("gain outside [0, 1] or NaN");
        if (!(e.pan >= -1.0f && e.pan <= 1.0f)) fail("pan outside [-1, 1] or NaN");
        if (t.keys[i] != hash_key(e.hash)) fail("scan key does not match its hash");
        k->by_key[i] = i;
    }
    // Equal hashes have equal keys: only neighbours in key order can repeat.
    std::sort(k->by_key, k->by_key + t.count, [&](uint32_t a, uint32_t b) { return t.keys[a] < t.keys[b]; });
    for (uint32_t i = 1; i < t.count; ++i) {
        for (uint32_t j = i; j-- > 0 && t.keys[k->by_key[j]] == t.keys[k->by_key[i]];)
            if (hash_equal(t.entries[k->by_key[j]].hash, t.entries[k->by_key[i]].hash))
                fail("two hashes equal without regard to case");
    }
}

void check_line(const LineSplitter& s) {
    if (s.len >= kLineBuffer || s.line[s.len] != 0) fail("line not terminated within its buffer");
    if (std::memchr(s.line, '\r', s.len) || std::memchr(s.line, '\n', s.len)) fail("CR or LF inside a line");
}

void handle(Scratch* k, bool* greeted) {
    check_line(k->splitter);
    const char* line = k->splitter.line;
    if (!*greeted) {
        *greeted = true;
        volatile bool accepted = hello_accepted(line);
        (void)accepted;
        return;
    }
    const char* payload = nullptr;
    const LineKind kind = classify_line(line, &payload);
    if ((kind == LineKind::ping) != (std::strcmp(line, "PING") == 0)) fail("a PING answered or not as it should");
    if (kind == LineKind::update || kind == LineKind::update2) {
        if (payload < line || payload > line + k->splitter.len) fail("payload outside the line");
        const UpdateKind uk = kind == LineKind::update2 ? UpdateKind::update2 : UpdateKind::update;
        build_speaker_table(payload, uk, &k->table);
        check_table(k);
        // The checker's parse must apply exactly what the plug-in's does.
        k->watch.from = payload;
        k->watch.to = payload + std::strlen(payload);
        build_speaker_table(payload, uk, &k->observed, &k->watch);
        if (k->observed.count != k->table.count) fail("the observed parse applies another count");
        for (uint32_t i = 0; i < k->table.count; ++i) {
            const SpeakerEntry &a = k->table.entries[i], &b = k->observed.entries[i];
            if (std::strcmp(a.hash, b.hash) != 0 || std::memcmp(&a.gain, &b.gain, sizeof a.gain) != 0 ||
                std::memcmp(&a.pan, &b.pan, sizeof a.pan) != 0)
                fail("the observed parse applies something else");
        }
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch* k = new Scratch();
    if (size == 0) return 0;
    static const size_t kSteps[] = {1, 7, 64, 509, 4096, 65536};
    const size_t step = kSteps[data[0] % 6];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t n = size - 1;

    split_reset(&k->splitter);
    bool greeted = false;
    for (size_t at = 0; at < n;) {
        const size_t piece = std::min(step, n - at);
        for (size_t used = 0; used < piece;) {
            bool done = false;
            const size_t took = split_feed(&k->splitter, bytes + at + used, piece - used, &done);
            if (took == 0 && !done) fail("the splitter took nothing");
            used += took;
            if (done) handle(k, &greeted);
        }
        at += piece;
    }
    if (split_flush(&k->splitter)) handle(k, &greeted);  // the time-out after the last byte
    return 0;
}
