// OS services that only the tests, benchmarks and tools need: loading the
// built library, temporary directories, environment changes and plain
// loopback sockets for peers that play the falloff server.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace test_os {

// ---- the built library -------------------------------------------------------
void* library_load(const std::string& path);  // null on failure
void* library_symbol(void* lib, const char* name);
void library_unload(void* lib);
std::string library_error();

// Directory of the running executable (UTF-8, no trailing separator).
std::string exe_dir();
// File name of a plug-in library as built on this platform ("quorra_link").
std::string library_file_name(const std::string& base);

// ---- files -----------------------------------------------------------------------
std::string make_temp_dir(const std::string& prefix);  // new, empty, UTF-8 names allowed
void remove_tree(const std::string& path);
bool copy_file(const std::string& from, const std::string& to);
bool write_file(const std::string& path, const std::string& bytes);
bool read_file(const std::string& path, std::string* bytes);
bool file_exists(const std::string& path);
bool make_read_only_dir(const std::string& path);  // true when writes there now fail
// False where this system (or this user) cannot make one; the test then skips.
bool make_symlink(const std::string& target, const std::string& link);
bool make_hard_link(const std::string& target, const std::string& link);
bool make_fifo(const std::string& path);
// A regular file itself, not a link to one.
bool is_plain_file(const std::string& path);
std::string join(const std::string& dir, const std::string& name);

// ---- environment ---------------------------------------------------------------
void env_set(const char* name, const char* value);  // null value: unset

// ---- loopback sockets (blocking, for test peers) --------------------------------
using Sock = intptr_t;
constexpr Sock kBad = -1;
bool net_init();
// Listens on 127.0.0.1 (port 0: any free port). backlog as given.
Sock listen_loopback(uint16_t port, int backlog, uint16_t* bound_port);
// Waits up to timeout_ms for a connection. kBad on time-out.
Sock accept_for(Sock listener, uint32_t timeout_ms);
Sock connect_loopback(uint16_t port);
bool send_all(Sock s, const void* data, size_t len);
// Waits up to timeout_ms; >0 bytes, 0 closed, -1 error, -2 time-out.
long recv_for(Sock s, void* buf, size_t cap, uint32_t timeout_ms);
void close_sock(Sock s);
// A port on 127.0.0.1 where nothing listens (bound, then closed).
uint16_t unused_port();
// A listener on 127.0.0.1 that never accepts and whose accept queue is
// already full: a connect to it neither completes nor fails.
struct FullListener {
    Sock listener = kBad, filler = kBad;
    uint16_t port = 0;
    bool open(uint16_t at_port = 0);
    void close();
    ~FullListener() { close(); }
};
// True when name resolves (for names a test needs in the hosts file).
bool resolves(const char* name);

// ---- process ---------------------------------------------------------------------
// CPU time (user + system) of the whole process in seconds.
double process_cpu_seconds();
// Number of threads of this process (Linux: /proc; Windows: toolhelp).
int thread_count();
// Makes every sleep of the calling thread last about ms longer, as a sleep
// on Windows lasts a whole timer tick (15.6 ms). False where that cannot be
// done (Windows itself, and Wine).
bool coarse_sleeps_for_this_thread(uint32_t ms);

}  // namespace test_os
