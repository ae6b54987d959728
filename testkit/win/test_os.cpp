// The OS helpers as Windows has them: loading the library, sockets, the
// process's threads and CPU time.
#include "testkit/test_os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace test_os {

namespace {
std::wstring wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    return w;
}
std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}
}  // namespace

void* library_load(const std::string& path) { return LoadLibraryW(wide(path).c_str()); }
void* library_symbol(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
void library_unload(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }
std::string library_error() { return "error " + std::to_string(GetLastError()); }

std::string exe_dir() {
    wchar_t buf[32768];
    DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
    std::wstring p(buf, n);
    return narrow(p.substr(0, p.rfind(L'\\')));
}

std::string library_file_name(const std::string& base) { return base + ".dll"; }

bool make_read_only_dir(const std::string&) { return false; }  // not reliable under Windows rules
bool make_fifo(const std::string&) { return false; }             // no FIFOs in a Windows directory

void env_set(const char* name, const char* value) {
    SetEnvironmentVariableW(wide(name).c_str(), value ? wide(value).c_str() : nullptr);
}

bool net_init() {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
}

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
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kBad;
    sockaddr_in a = loopback(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        return kBad;
    }
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (bound_port) *bound_port = ntohs(a.sin_port);
    return static_cast<Sock>(s);
}

Sock accept_for(Sock listener, uint32_t timeout_ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(static_cast<SOCKET>(listener), &r);
    timeval tv{static_cast<long>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000)};
    if (select(0, &r, nullptr, nullptr, &tv) <= 0) return kBad;
    SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return kBad;
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Sock>(s);
}

Sock connect_loopback(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kBad;
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return kBad;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Sock>(s);
}

bool send_all(Sock s, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int n = send(static_cast<SOCKET>(s), p, static_cast<int>(len > 65536 ? 65536 : len), 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

long recv_for(Sock s, void* buf, size_t cap, uint32_t timeout_ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(static_cast<SOCKET>(s), &r);
    timeval tv{static_cast<long>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000)};
    int sel = select(0, &r, nullptr, nullptr, &tv);
    if (sel == 0) return -2;
    if (sel < 0) return -1;
    int n = recv(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(cap), 0);
    return n < 0 ? -1 : n;
}

void close_sock(Sock s) {
    if (s != kBad) closesocket(static_cast<SOCKET>(s));
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
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    auto secs = [](FILETIME f) {
        return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
    };
    return secs(k) + secs(u);
}

int thread_count() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    int n = 0;
    DWORD pid = GetCurrentProcessId();
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == pid) ++n;
    CloseHandle(snap);
    return n;
}

bool coarse_sleeps_for_this_thread(uint32_t) { return false; }

}  // namespace test_os
