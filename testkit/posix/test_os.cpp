// The OS helpers as POSIX has them: loading the library, sockets, the
// process's threads and CPU time, timer slack.
#include "testkit/test_os.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace test_os {

void* library_load(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* library_symbol(void* lib, const char* name) { return dlsym(lib, name); }
void library_unload(void* lib) { dlclose(lib); }
std::string library_error() {
    const char* e = dlerror();
    return e ? e : "";
}

std::string exe_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

std::string library_file_name(const std::string& base) { return base + ".so"; }

bool make_read_only_dir(const std::string& path) {
    chmod(path.c_str(), 0500);
    // root ignores mode bits; check that a write really fails.
    std::string probe = path + "/.probe";
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str());
        return false;
    }
    return true;
}

bool make_fifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

void env_set(const char* name, const char* value) {
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

bool net_init() { return true; }

namespace {
sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
}  // namespace

Sock listen_loopback(uint16_t port, int backlog, uint16_t* bound_port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kBad;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, backlog) != 0) {
        close(s);
        return kBad;
    }
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (bound_port) *bound_port = ntohs(a.sin_port);
    return s;
}

Sock accept_for(Sock listener, uint32_t timeout_ms) {
    pollfd p{static_cast<int>(listener), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) return kBad;
    int s = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return s < 0 ? kBad : s;
}

Sock connect_loopback(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kBad;
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return kBad;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

bool send_all(Sock s, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(static_cast<int>(s), p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

long recv_for(Sock s, void* buf, size_t cap, uint32_t timeout_ms) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(timeout_ms));  // a signal restarts the full wait; fine for tests
    } while (r < 0 && errno == EINTR);
    if (r == 0) return -2;
    if (r < 0) return -1;
    ssize_t n;
    do {
        n = recv(static_cast<int>(s), buf, cap, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}

void close_sock(Sock s) {
    if (s != kBad) close(static_cast<int>(s));
}

bool resolves(const char* name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    bool ok = getaddrinfo(name, "1", &hints, &list) == 0 && list;
    if (list) freeaddrinfo(list);
    return ok;
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

bool coarse_sleeps_for_this_thread(uint32_t ms) {
    return prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(ms) * 1000000UL, 0, 0, 0) == 0;
}

}  // namespace test_os
