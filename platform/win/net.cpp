// Sockets on Windows. Every socket of the worker is tied to an event object
// with WSAEventSelect (which also makes it non-blocking); a wait is then
// WaitForMultipleObjects on that event and the Waker's own event, so a stop
// ends any wait at once. Waiting for readability, rather than relying on
// SO_RCVTIMEO, also avoids the indeterminate socket state that a timed-out
// blocking receive leaves behind.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/net.h"
#include "platform/platform.h"
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

// 1 ready, 0 time-out, -1 error, -2 woken. mask: the FD_* events for s.
//
// The Waker's socket event serves every socket in turn, and is left set by
// whatever arrived while nobody waited (data read later without a wait, a
// close, events of a socket since closed). So a new socket is tied to it
// only after a reset, and a wake-up without one of the awaited events
// counts for nothing: the wait goes on for the time left.
int wait_socket(SOCKET s, long mask, uint32_t timeout_ms, Waker* w, bool new_socket = false) {
    LocalEvent local;
    const bool own_event = !(w && w->ready);
    WSAEVENT sev = own_event ? local.ev : events_of(w)->sock;
    if (new_socket) WSAResetEvent(sev);
    if (WSAEventSelect(s, sev, mask) != 0) {
        remember(WSAGetLastError());
        return -1;
    }
    HANDLE handles[2] = {sev, nullptr};
    DWORD n = 1;
    if (!own_event) handles[n++] = events_of(w)->wake;
    const uint32_t start = tick_ms();
    int result;
    for (;;) {
        DWORD r = WaitForMultipleObjects(n, handles, FALSE, time_left(start, timeout_ms));
        if (r == WAIT_OBJECT_0 + 1) {
            result = -2;
            break;
        }
        if (r == WAIT_TIMEOUT) {
            result = 0;
            break;
        }
        if (r != WAIT_OBJECT_0) {
            remember(static_cast<int>(GetLastError()));
            result = -1;
            break;
        }
        WSANETWORKEVENTS ne{};
        WSAEnumNetworkEvents(s, sev, &ne);  // also resets the event
        if (!(ne.lNetworkEvents & mask)) {
            if (time_left(start, timeout_ms) == 0) {
                result = 0;
                break;
            }
            continue;
        }
        if ((mask & FD_CONNECT) && (ne.lNetworkEvents & FD_CONNECT) && ne.iErrorCode[FD_CONNECT_BIT]) {
            remember(ne.iErrorCode[FD_CONNECT_BIT]);
            result = -1;
            break;
        }
        result = 1;
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
int net_timeout_error() { return WSAETIMEDOUT; }

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
        Sleep(timeout_ms);
        return false;
    }
    return WaitForSingleObject(events_of(w)->wake, timeout_ms == kWaitForever ? INFINITE : timeout_ms) ==
           WAIT_OBJECT_0;
}

ConnectResult net_connect(const char* host, const char* port, Waker* w, Socket* out) {
    // The host name is UTF-8 here; the ANSI resolver would read it in the
    // system's code page, so the wide one is used.
    wchar_t whost[512], wport[32];
    if (!utf8_to_wide(host, whost, 512) || !utf8_to_wide(port, wport, 32)) {
        remember(WSAHOST_NOT_FOUND);
        return ConnectResult::resolve_failed;
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
        return ConnectResult::resolve_failed;
    }
    ConnectResult result = ConnectResult::none_connected;
    for (ADDRINFOW* a = list; a; a = a->ai_next) {
        if (w && waker_wait(w, 0)) {  // a stop between two addresses
            result = ConnectResult::woken;
            break;
        }
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            remember(WSAGetLastError());
            continue;
        }
        BOOL one = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        u_long nb = 1;
        ioctlsocket(s, FIONBIO, &nb);
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            *out = static_cast<Socket>(s);
            result = ConnectResult::connected;
            break;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            remember(err);
            closesocket(s);
            continue;
        }
        int r = wait_socket(s, FD_CONNECT, kWaitForever, w, true);
        if (r == -2) {
            closesocket(s);
            result = ConnectResult::woken;
            break;
        }
        if (r == 1) {
            *out = static_cast<Socket>(s);
            result = ConnectResult::connected;
            break;
        }
        closesocket(s);
    }
    FreeAddrInfoW(list);
    return result;
}

int net_send(Socket s, const void* data, size_t len, uint32_t timeout_ms, Waker* w) {
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
            return -1;
        }
        int r = wait_socket(so, FD_WRITE | FD_CLOSE, timeout_ms, w);
        if (r == -2) return -2;
        if (r == 0) {
            remember(WSAETIMEDOUT);
            return -1;
        }
        if (r < 0) return -1;
    }
    return 0;
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
}  // namespace

long net_recv(Socket s, void* buf, size_t cap, uint32_t timeout_ms, Waker* w) {
    SOCKET so = static_cast<SOCKET>(s);
    // A socket handed in by a test or tool may still be blocking; waiting
    // first for readability keeps the receive itself from blocking.
    int chunk = cap > 0x40000000u ? 0x40000000 : static_cast<int>(cap);
    for (;;) {
        // Whatever is pending already (data, or a close that came in behind
        // data read earlier, which a new event selection does not always
        // signal again) is taken without waiting; recv says which it is.
        if (readable_now(so)) {
            int n = recv(so, static_cast<char*>(buf), chunk, 0);
            if (n == 0) remember(0);  // an orderly close is no error
            if (n >= 0) return n;
            int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK) {
                remember(err);
                return -1;
            }
        }
        int r = wait_socket(so, FD_READ | FD_CLOSE, timeout_ms, w);
        if (r == -2) return kRecvWoken;
        if (r == 0) {
            remember(WSAETIMEDOUT);
            return kRecvTimedOut;
        }
        if (r < 0) return -1;
        // Readable: data, or the peer closed (recv gives 0), or an error.
        int n = recv(so, static_cast<char*>(buf), chunk, 0);
        if (n == 0) remember(0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) continue;
        remember(err);
        return -1;
    }
}

void net_close(Socket s) {
    if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}

}  // namespace plat
