// Sockets on POSIX: non-blocking descriptors, waited on with poll() together
// with the read end of the Waker's pipe.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/clock.h"
#include "platform/address_list.h"
#include "platform/net.h"

namespace plat {

namespace {
struct Pipe {
    int rd, wr;
};
Pipe* pipe_of(Waker* w) { return reinterpret_cast<Pipe*>(w->opaque); }

thread_local int t_last_error = 0;

void remember(int err) { t_last_error = err; }

enum class Ready { yes, timed_out, error, woken };

// Waits for events on s (or on nothing when s < 0) and for the waker.
Ready wait_fd(int s, short events, uint32_t timeout_ms, Waker* w) {
    pollfd fds[2];
    nfds_t n = 0;
    if (s >= 0) fds[n++] = pollfd{s, events, 0};
    int wake_index = -1;
    if (w && w->ready) {
        wake_index = static_cast<int>(n);
        fds[n++] = pollfd{pipe_of(w)->rd, POLLIN, 0};
    }
    const uint32_t start = tick_ms();
    for (;;) {
        // poll takes at most INT_MAX ms; a longer wait is made of several.
        int left = -1;
        uint32_t remaining = 0;
        if (timeout_ms != kWaitForever) {
            uint32_t spent = tick_ms() - start;
            remaining = spent >= timeout_ms ? 0 : timeout_ms - spent;
            left = remaining > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
        }
        int r = poll(fds, n, left);
        if (r < 0) {
            if (errno == EINTR) continue;
            remember(errno);
            return Ready::error;
        }
        if (r == 0) {
            if (remaining > static_cast<uint32_t>(INT_MAX)) continue;
            return Ready::timed_out;
        }
        if (wake_index >= 0 && fds[wake_index].revents) return Ready::woken;
        return Ready::yes;
    }
}
}  // namespace

bool net_startup() { return true; }
void net_cleanup() {}
int net_last_error() { return t_last_error; }

bool waker_init(Waker* w) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    *pipe_of(w) = Pipe{fds[0], fds[1]};
    w->ready = true;
    return true;
}

void waker_destroy(Waker* w) {
    if (!w->ready) return;
    close(pipe_of(w)->rd);
    close(pipe_of(w)->wr);
    w->ready = false;
}

void waker_signal(Waker* w) {
    if (!w->ready) return;
    char b = 1;
    ssize_t r = write(pipe_of(w)->wr, &b, 1);
    (void)r;  // a full pipe is already signalled
}

void waker_reset(Waker* w) {
    if (!w->ready) return;
    char buf[64];
    while (read(pipe_of(w)->rd, buf, sizeof buf) > 0) {
    }
}

bool waker_wait(Waker* w, uint32_t timeout_ms) {
    if (!w || !w->ready) {
        sleep_ms(timeout_ms);
        return false;
    }
    return wait_fd(-1, 0, timeout_ms, w) == Ready::woken;
}

bool net_resolve(const char* host, const char* port, NetAddress* out, size_t* count) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    *count = 0;
    if (getaddrinfo(host, port, &hints, &list) != 0 || !list) {
        if (list) freeaddrinfo(list);
        remember(EHOSTUNREACH);
        return false;
    }
    *count = copy_addresses(list, out);
    freeaddrinfo(list);
    return true;
}

NetResult net_connect_one(const NetAddress& a, Waker* w, Socket* out) {
    int s = socket(a.family, a.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.protocol);
    if (s < 0) {
        remember(errno);
        return NetResult::failed;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto* addr = reinterpret_cast<const sockaddr*>(a.bytes);
    if (connect(s, addr, a.len) == 0) {
        *out = s;
        return NetResult::ok;
    }
    if (errno != EINPROGRESS) {
        remember(errno);
        close(s);
        return NetResult::failed;
    }
    const Ready r = wait_fd(s, POLLOUT, kWaitForever, w);
    if (r == Ready::woken) {
        close(s);
        return NetResult::woken;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (r == Ready::yes && getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
        *out = s;
        return NetResult::ok;
    }
    if (err) remember(err);
    close(s);
    return NetResult::failed;
}

NetResult net_send(Socket s, const void* data, size_t len, uint32_t timeout_ms, Waker* w) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(static_cast<int>(s), p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            remember(errno);
            return NetResult::failed;
        }
        switch (wait_fd(static_cast<int>(s), POLLOUT, timeout_ms, w)) {
            case Ready::yes: break;
            case Ready::woken: return NetResult::woken;
            case Ready::timed_out: remember(ETIMEDOUT); return NetResult::failed;
            case Ready::error: return NetResult::failed;
        }
    }
    return NetResult::ok;
}

NetResult net_recv(Socket s, void* buf, size_t cap, uint32_t timeout_ms, Waker* w, size_t* got) {
    *got = 0;
    for (;;) {
        ssize_t n = recv(static_cast<int>(s), buf, cap, MSG_DONTWAIT);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return NetResult::ok;
        }
        if (n == 0) {
            remember(0);  // an orderly close is no error
            return NetResult::closed;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            remember(errno);
            return NetResult::failed;
        }
        switch (wait_fd(static_cast<int>(s), POLLIN, timeout_ms, w)) {
            case Ready::yes: break;
            case Ready::woken: return NetResult::woken;
            case Ready::timed_out: return NetResult::timed_out;
            case Ready::error: return NetResult::failed;
        }
    }
}

void net_close(Socket s) {
    if (s >= 0) close(static_cast<int>(s));
}

namespace {
void limit_buffer(Socket s, int option, uint32_t bytes) {
    const int v = bytes > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(bytes);
    setsockopt(static_cast<int>(s), SOL_SOCKET, option, &v, sizeof v);
}
}  // namespace

void net_limit_receive_buffer(Socket s, uint32_t bytes) { limit_buffer(s, SO_RCVBUF, bytes); }
void net_limit_send_buffer(Socket s, uint32_t bytes) { limit_buffer(s, SO_SNDBUF, bytes); }

}  // namespace plat
