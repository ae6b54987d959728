// The one place that knows which operating system we run on.
// Everything else in the plug-in talks to the OS only through these calls;
// platform/posix and platform/win each implement all of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace plat {

// ---- threads ----------------------------------------------------------------
struct Thread {
    alignas(8) unsigned char opaque[16];
    bool valid;
};
using ThreadMain = void (*)(void* arg);
bool thread_start(Thread* t, ThreadMain fn, void* arg);
// Waits at most timeout_ms for the thread to end. True when it has ended;
// its resources are then released and the handle is no longer valid.
bool thread_wait(Thread* t, uint32_t timeout_ms);
// Gives up the handle of a thread that is still running; it ends on its own.
void thread_forget(Thread* t);

// ---- clock, process, environment ---------------------------------------------
void local_time(std::tm* out);            // wall clock, local calendar time
// Microseconds on the monotonic clock, from an arbitrary start. Safe on the
// audio thread: no system call, no lock, no wait (see each OS's clock.cpp).
uint64_t monotonic_us();
uint32_t process_id();
// Copies the variable's value (UTF-8) into buf when it fits. Returns the
// value's full length in bytes, or -1 when the variable does not exist.
long env_get(const char* name, char* buf, size_t size);

// ---- the plug-in's own library file ------------------------------------------
// Full path (UTF-8) of the library that holds this code. Returns its length,
// 0 when it cannot be had; a result of size or more means it did not fit.
size_t module_path(char* buf, size_t size);
constexpr char kPathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif
// Keeps the library mapped for the rest of the process, so a thread of ours
// that outlives the host's unload never runs in unmapped code.
void pin_module();

// ---- files (paths are UTF-8) -------------------------------------------------
// Opens an existing regular file for reading, following a link to one.
// Anything else (a FIFO, a device, a directory) is refused without waiting
// on it: null.
std::FILE* file_open_regular(const char* path);
// Opens a regular file for appending, creating it when missing, and gives
// its size. Never follows a link: a link, a FIFO or a device there is
// refused (null), without waiting on it; so is a file with more than one
// name (a hard link), whose other name may be any file of the user's.
std::FILE* file_open_append(const char* path, uint64_t* size);
// Creates a new file for writing that only its owner may read. Fails when
// anything has the name already, a link included.
std::FILE* file_create_private(const char* path);
// Flushes the stream's data to the storage device. False on failure.
bool file_sync(std::FILE* f);
// Moves src over dst in one step (dst is replaced whole or not at all).
bool file_replace(const char* src, const char* dst);
bool file_remove(const char* path);

// ---- random bytes --------------------------------------------------------------
// Fills buf from the OS's cryptographic source. False when it cannot.
bool random_bytes(void* buf, size_t len);

}  // namespace plat
