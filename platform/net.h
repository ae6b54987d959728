// Sockets, and the stop signal that can interrupt any wait on them.
//
// Every wait of the falloff worker goes through a Waker, so that a stop
// requested from the host's thread ends a pause, a connect, a send or a
// receive at once instead of when its time-out runs out.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

bool net_startup();  // the socket layer (a no-op where there is none to start)
void net_cleanup();
// The operating system's code of this thread's last network failure, as
// the log shows it; 0 after an orderly close.
int net_last_error();

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

struct Waker {
    alignas(8) unsigned char opaque[32];
    bool ready;
};
bool waker_init(Waker* w);
void waker_destroy(Waker* w);
void waker_signal(Waker* w);  // wakes current and future waits
void waker_reset(Waker* w);   // re-arms after a signal
// Sleeps up to timeout_ms. True when woken by the signal (at once when it
// is already raised; a timeout of 0 just looks).
bool waker_wait(Waker* w, uint32_t timeout_ms);

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// What every network call of the worker comes back with.
enum class NetResult {
    ok,          // connected, sent, or bytes received
    timed_out,   // nothing arrived within the time-out (receive only)
    closed,      // the peer closed the connection in order (receive only)
    failed,      // an error, a send that timed out included; see net_last_error
    woken,       // the Waker was signalled
    unresolved,  // the name did not resolve (connect only)
};

// Resolves host with port text (any family, stream, TCP) and connects to the
// addresses in the resolver's order until one accepts. Resolution cannot be
// interrupted; each connect can, and a signal between two addresses ends
// the loop. ok, unresolved, failed (no address connected) or woken.
NetResult net_connect(const char* host, const char* port, Waker* w, Socket* out);

// Sends all len bytes; the time-out bounds the wait for room in the send
// buffer. ok, failed or woken.
NetResult net_send(Socket s, const void* data, size_t len, uint32_t timeout_ms, Waker* w);

// Receives what has arrived, up to cap bytes, waiting at most timeout_ms for
// the first byte. ok (*got > 0), timed_out, closed, failed or woken. w may
// be null.
NetResult net_recv(Socket s, void* buf, size_t cap, uint32_t timeout_ms, Waker* w, size_t* got);

void net_close(Socket s);

// Caps what the system holds for s, received and unread or sent and not yet
// taken, at about bytes (it may round them), so that a peer that stops
// reading fills it soon: the operators' checker's plug-in that stops reading,
// and its tests' servers.
void net_limit_receive_buffer(Socket s, uint32_t bytes);
void net_limit_send_buffer(Socket s, uint32_t bytes);

// ---- the half of net_connect that differs between systems --------------------
struct NetAddress {
    int family, socktype, protocol;
    uint32_t len;
    alignas(8) unsigned char bytes[128];  // the socket address
};
constexpr size_t kMaxAddresses = 32;
// The resolver's addresses for host and port, in its order (at most
// kMaxAddresses). False when the name does not resolve.
bool net_resolve(const char* host, const char* port, NetAddress* out, size_t* count);
// One connect, waited for until it is made or fails: ok, failed or woken.
NetResult net_connect_one(const NetAddress& a, Waker* w, Socket* out);

}  // namespace plat
