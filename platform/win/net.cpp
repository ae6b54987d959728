// Sockets on Windows. Every socket of the worker is tied to an event object
// with WSAEventSelect (which also makes it non-blocking); a wait is then
// WaitForMultipleObjects on that event and the Waker's own event, so a stop
// ends any wait at once. Waiting for readability, rather than relying on
// SO_RCVTIMEO, also avoids the indeterminate socket state that a timed-out
// blocking receive leaves behind.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "common/clock.h"
#include "platform/address_list.h"
#include "platform/net.h"
#include "platform/win/utf.h"

namespace plat {

namespace {
struct Events {
    HANDLE wake;     // manual-reset, set by waker_signal
    WSAEVENT sock;   // the socket's network events
};
Events* events_of(Waker* w) { return reinterpret_cast<Events*>(w->opaque); }

thread_local int t_last_error = 0;

void remember(int err) {
    t_last_error = err;
    WSASetLastError(err);
}

// One event for sockets waited on without a Waker (tests, tools).
struct LocalEvent {
    WSAEVENT ev = WSACreateEvent();
    ~LocalEvent() { WSACloseEvent(ev); }
};

// What is left of a wait of timeout_ms that began at start, as
// WaitForMultipleObjects takes it (INFINITE only for kWaitForever).
DWORD time_left(uint32_t start, uint32_t timeout_ms) {
    if (timeout_ms == kWaitForever) return INFINITE;
    uint32_t spent = tick_ms() - start;
    return spent >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - spent);
}

enum class Ready { yes, timed_out, error, woken };

// Whether s is ready for the FD_* events of mask.
//
// The Waker's socket event serves every socket in turn, and is left set by
// whatever arrived while nobody waited (data read later without a wait, a
// close, events of a socket since closed). So a new socket is tied to it
// only after a reset, and a wake-up without one of the awaited events
// counts for nothing: the wait goes on for the time left.
Ready wait_socket(SOCKET s, long mask, uint32_t timeout_ms, Waker* w, bool new_socket = false) {
    LocalEvent local;
    const bool own_event = !(w && w->ready);
    WSAEVENT sev = own_event ? local.ev : events_of(w)->sock;
    if (new_socket) WSAResetEvent(sev);
    if (WSAEventSelect(s, sev, mask) != 0) {
        remember(WSAGetLastError());
        return Ready::error;
    }
    HANDLE handles[2] = {sev, nullptr};
    DWORD n = 1;
    if (!own_event) handles[n++] = events_of(w)->wake;
    const uint32_t start = tick_ms();
    Ready result;
    for (;;) {
        DWORD r = WaitForMultipleObjects(n, handles, FALSE, time_left(start, timeout_ms));
        if (r == WAIT_OBJECT_0 + 1) {
            result = Ready::woken;
            break;
        }
        if (r == WAIT_TIMEOUT) {
            result = Ready::timed_out;
            break;
        }
        if (r != WAIT_OBJECT_0) {
            remember(static_cast<int>(GetLastError()));
            result = Ready::error;
            break;
        }
        WSANETWORKEVENTS ne{};
        WSAEnumNetworkEvents(s, sev, &ne);  // also resets the event
        if (!(ne.lNetworkEvents & mask)) {
            if (time_left(start, timeout_ms) == 0) {
                result = Ready::timed_out;
                break;
            }
            continue;
        }
        if ((mask & FD_CONNECT) && (ne.lNetworkEvents & FD_CONNECT) && ne.iErrorCode[FD_CONNECT_BIT]) {
            remember(ne.iErrorCode[FD_CONNECT_BIT]);
            result = Ready::error;
            break;
        }
        result = Ready::yes;
        break;
    }
    if (own_event) WSAEventSelect(s, nullptr, 0);  // the local event dies here
    return result;
}
}  // namespace

bool net_startup() {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
}
void net_cleanup() { WSACleanup(); }
int net_last_error() { return t_last_error; }

bool waker_init(Waker* w) {
    Events* e = events_of(w);
    e->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    e->sock = WSACreateEvent();
    if (!e->wake || e->sock == WSA_INVALID_EVENT) {
        if (e->wake) CloseHandle(e->wake);
        if (e->sock != WSA_INVALID_EVENT) WSACloseEvent(e->sock);
        return false;
    }
    w->ready = true;
    return true;
}

void waker_destroy(Waker* w) {
    if (!w->ready) return;
    CloseHandle(events_of(w)->wake);
    WSACloseEvent(events_of(w)->sock);
    w->ready = false;
}

void waker_signal(Waker* w) {
    if (w->ready) SetEvent(events_of(w)->wake);
}

void waker_reset(Waker* w) {
    if (w->ready) ResetEvent(events_of(w)->wake);
}

bool waker_wait(Waker* w, uint32_t timeout_ms) {
    if (!w || !w->ready) {
        sleep_ms(timeout_ms);
        return false;
    }
    return WaitForSingleObject(events_of(w)->wake, timeout_ms == kWaitForever ? INFINITE : timeout_ms) ==
           WAIT_OBJECT_0;
}

bool net_resolve(const char* host, const char* port, NetAddress* out, size_t* count) {
    *count = 0;
    // The host name is UTF-8 here; the ANSI resolver would read it in the
    // system's code page, so the wide one is used.
    wchar_t whost[512], wport[32];
    if (!utf8_to_wide(host, whost, 512) || !utf8_to_wide(port, wport, 32)) {
        remember(WSAHOST_NOT_FOUND);
        return false;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* list = nullptr;
    int rc = GetAddrInfoW(whost, wport, &hints, &list);
    if (rc != 0 || !list) {
        if (list) FreeAddrInfoW(list);
        remember(rc ? rc : WSAHOST_NOT_FOUND);
        return false;
    }
    *count = copy_addresses(list, out);
    FreeAddrInfoW(list);
    return true;
}

NetResult net_connect_one(const NetAddress& a, Waker* w, Socket* out) {
    SOCKET s = socket(a.family, a.socktype, a.protocol);
    if (s == INVALID_SOCKET) {
        remember(WSAGetLastError());
        return NetResult::failed;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    u_long nb = 1;
    ioctlsocket(s, FIONBIO, &nb);
    if (connect(s, reinterpret_cast<const sockaddr*>(a.bytes), static_cast<int>(a.len)) == 0) {
        *out = static_cast<Socket>(s);
        return NetResult::ok;
    }
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
        remember(err);
        closesocket(s);
        return NetResult::failed;
    }
    switch (wait_socket(s, FD_CONNECT, kWaitForever, w, true)) {
        case Ready::yes:
            *out = static_cast<Socket>(s);
            return NetResult::ok;
        case Ready::woken:
            closesocket(s);
            return NetResult::woken;
        default:
            closesocket(s);
            return NetResult::failed;
    }
}

NetResult net_send(Socket s, const void* data, size_t len, uint32_t timeout_ms, Waker* w) {
    const char* p = static_cast<const char*>(data);
    SOCKET so = static_cast<SOCKET>(s);
    while (len > 0) {
        int chunk = len > 0x40000000u ? 0x40000000 : static_cast<int>(len);
        int n = send(so, p, chunk, 0);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            remember(err);
            return NetResult::failed;
        }
        switch (wait_socket(so, FD_WRITE | FD_CLOSE, timeout_ms, w)) {
            case Ready::yes: break;
            case Ready::woken: return NetResult::woken;
            case Ready::timed_out: remember(WSAETIMEDOUT); return NetResult::failed;
            case Ready::error: return NetResult::failed;
        }
    }
    return NetResult::ok;
}

namespace {
// Readable at this moment: data, a close or an error is pending.
bool readable_now(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval zero{0, 0};
    return select(0, &set, nullptr, nullptr, &zero) == 1;
}

// One receive on a socket known to be readable; nothing when it would block.
bool receive_ready(SOCKET so, void* buf, int chunk, NetResult* result, size_t* got) {
    int n = recv(so, static_cast<char*>(buf), chunk, 0);
    if (n > 0) {
        *got = static_cast<size_t>(n);
        *result = NetResult::ok;
        return true;
    }
    if (n == 0) {
        remember(0);  // an orderly close is no error
        *result = NetResult::closed;
        return true;
    }
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return false;
    remember(err);
    *result = NetResult::failed;
    return true;
}
}  // namespace

NetResult net_recv(Socket s, void* buf, size_t cap, uint32_t timeout_ms, Waker* w, size_t* got) {
    SOCKET so = static_cast<SOCKET>(s);
    *got = 0;
    int chunk = cap > 0x40000000u ? 0x40000000 : static_cast<int>(cap);
    NetResult result;
    for (;;) {
        // Whatever is pending already (data, or a close that came in behind
        // data read earlier, which a new event selection does not always
        // signal again) is taken without waiting; recv says which it is.
        if (readable_now(so) && receive_ready(so, buf, chunk, &result, got)) return result;
        switch (wait_socket(so, FD_READ | FD_CLOSE, timeout_ms, w)) {
            case Ready::yes: break;
            case Ready::woken: return NetResult::woken;
            case Ready::timed_out: return NetResult::timed_out;
            case Ready::error: return NetResult::failed;
        }
        if (receive_ready(so, buf, chunk, &result, got)) return result;
    }
}

void net_close(Socket s) {
    if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}

namespace {
void limit_buffer(Socket s, int option, uint32_t bytes) {
    const int v = bytes > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(bytes);
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&v), sizeof v);
}
}  // namespace

void net_limit_receive_buffer(Socket s, uint32_t bytes) { limit_buffer(s, SO_RCVBUF, bytes); }
void net_limit_send_buffer(Socket s, uint32_t bytes) { limit_buffer(s, SO_SNDBUF, bytes); }

}  // namespace plat
