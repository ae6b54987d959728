// Sockets and the stop signal that can interrupt any wait on them.
//
// Every wait of the falloff worker goes through a Waker, so that a stop
// requested from the host's thread ends a pause, a connect, a send or a
// receive at once instead of when its time-out runs out.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

bool net_startup();   // the socket layer (Winsock 2.2 on Windows)
void net_cleanup();
int net_last_error();       // errno / WSAGetLastError of the last failure
int net_timeout_error();    // the error code of a receive time-out

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

struct Waker {
    alignas(8) unsigned char opaque[32];
    bool ready;
};
bool waker_init(Waker* w);
void waker_destroy(Waker* w);
void waker_signal(Waker* w);     // wakes current and future waits
void waker_reset(Waker* w);      // re-arms after a signal
// Sleeps up to timeout_ms. True when woken by the signal.
bool waker_wait(Waker* w, uint32_t timeout_ms);

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

enum class ConnectResult { connected, resolve_failed, none_connected, woken };
// Resolves host with port text (any family, stream, TCP) and connects to the
// addresses in the resolver's order until one accepts. Resolution cannot be
// interrupted; each connect can.
ConnectResult net_connect(const char* host, const char* port, Waker* w, Socket* out);

// Sends all len bytes. 0 on success, -1 on error (net_last_error), -2 when
// woken. The time-out bounds the wait for room in the send buffer.
int net_send(Socket s, const void* data, size_t len, uint32_t timeout_ms, Waker* w);

constexpr long kRecvTimedOut = -2;
constexpr long kRecvWoken = -3;
// Receives what has arrived, up to cap bytes, waiting at most timeout_ms for
// the first byte. >0 bytes, 0 peer closed, -1 error (net_last_error),
// kRecvTimedOut, kRecvWoken. w may be null.
long net_recv(Socket s, void* buf, size_t cap, uint32_t timeout_ms, Waker* w);

void net_close(Socket s);

}  // namespace plat
