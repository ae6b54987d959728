// Whatever bytes a falloff server sends: they go over a real loopback
// connection through the plug-in's own line reader, then handle_line, and
// the whole input also straight into apply_update. After every line the
// SpeakerTable must keep its invariants, and the plug-in may have answered
// nothing but "OK\n", and that only to an exact PING.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "falloff/protocol.h"
#include "platform/platform.h"
#include "test_os.h"
#include "plugin/state.h"

namespace pt = test_os;

namespace {
// Larger inputs would fill the socket buffers of the one-threaded loop.
constexpr size_t kMaxInput = 64 * 1024;

struct Link {
    FalloffConn conn;
    pt::Sock peer = pt::kBad;  // plays the server
    SpeakerTable scratch;
    char line[kLineBuffer];
    char lowered[kMaxSpeakers][kHashField];
    const char* sorted[kMaxSpeakers];
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "protocol_fuzz: %s\n", what);
    std::abort();
}

// One loopback connection for the whole process. The reader polls with a
// zero time-out: on loopback the bytes of a finished send are already
// there, so the end of the input reads as a time-out.
Link* link() {
    static Link* l = [] {
        auto* k = new Link();
        if (!pt::net_init()) fail("socket layer");
        g_state.settings.debug_log = 0;
        g_state.settings.log_path[0] = 0;
        uint16_t port = 0;
        pt::Sock listener = pt::listen_loopback(0, 1, &port);
        k->conn.sock = pt::connect_loopback(port);
        k->peer = pt::accept_for(listener, 5000);
        pt::close_sock(listener);
        if (listener == pt::kBad || k->conn.sock == pt::kBad || k->peer == pt::kBad) fail("loopback pair");
        k->conn.receive_timeout_ms = 0;
        return k;
    }();
    return l;
}

void check_table(Link* k) {
    std::lock_guard<std::mutex> held(g_state.tables_mutex);
    const SpeakerTable& t = g_state.speakers;
    if (t.count > kMaxSpeakers) fail("more than 512 speakers");
    for (uint64_t i = 0; i < t.count; ++i) {
        const SpeakerEntry& e = t.entries[i];
        size_t n = strnlen(e.hash, kHashField);
        if (n == 0 || n >= kHashField) fail("hash of bad length");
        if (!(e.gain >= 0.0f && e.gain <= 1.0f)) fail("gain outside [0, 1] or NaN");
        if (!(e.pan >= -1.0f && e.pan <= 1.0f)) fail("pan outside [-1, 1] or NaN");
        if (t.keys[i] != hash_key(e.hash)) fail("scan key does not match its hash");
        for (size_t j = 0; j <= n; ++j) k->lowered[i][j] = static_cast<char>(ascii_lower(e.hash[j]));
        k->sorted[i] = k->lowered[i];
    }
    std::sort(k->sorted, k->sorted + t.count, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    for (uint64_t i = 1; i < t.count; ++i)
        if (std::strcmp(k->sorted[i - 1], k->sorted[i]) == 0) fail("two hashes equal without regard to case");
}

// libFuzzer's timers interrupt waits; a wait that was interrupted is
// repeated rather than taken for a broken connection.
long peer_recv(Link* k, char* buf, size_t cap, uint32_t timeout_ms) {
    for (;;) {
        errno = 0;
        long n = pt::recv_for(k->peer, buf, cap, timeout_ms);
        if (n != -1 || errno != EINTR) return n;
    }
}

// What the plug-in sent back after one line.
void check_reply(Link* k, bool ping) {
    char buf[16];
    if (ping) {
        size_t got = 0;
        while (got < 3) {
            long n = peer_recv(k, buf + got, 3 - got, 2000);
            if (n <= 0) fail("no answer to PING");
            got += static_cast<size_t>(n);
        }
        if (std::memcmp(buf, "OK\n", 3) != 0) fail("PING answered with something else than OK");
    }
    long extra = peer_recv(k, buf, sizeof buf, 0);
    if (extra != -2) {
        std::fprintf(stderr, "after line \"%.40s\" (ping=%d): recv gave %ld: %.*s\n", k->line, ping, extra,
                     extra > 0 ? static_cast<int>(extra) : 0, buf);
        fail("the plug-in sent something unasked");
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return -1;
    Link* k = link();
    {
        std::lock_guard<std::mutex> held(g_state.tables_mutex);
        g_state.speakers.count = 0;
    }
    if (size > 0 && !pt::send_all(k->peer, data, size)) fail("send");

    // The first line is the reply to HELLO; everything after it is handled.
    ReadOutcome o = read_line(&k->conn, k->line);
    volatile bool accepted = hello_accepted(o, k->line);
    (void)accepted;
    if (o == ReadOutcome::line) {
        while ((o = read_line(&k->conn, k->line)) == ReadOutcome::line) {
            if (std::strlen(k->line) >= kLineBuffer) fail("line longer than its buffer");
            const bool ping = std::strcmp(k->line, "PING") == 0;
            handle_line(&k->conn, k->line, &k->scratch);
            check_table(k);
            check_reply(k, ping);
        }
    }
    if (o != ReadOutcome::timed_out) fail("the connection ended under the reader");
    if (k->conn.pos != k->conn.len) fail("bytes left unread at the end of the input");

    // The same bytes as one payload, of either kind.
    std::string payload(reinterpret_cast<const char*>(data), size);
    apply_update(payload.c_str(), size % 2 ? UpdateKind::update2 : UpdateKind::update, &k->scratch);
    check_table(k);
    return 0;
}
