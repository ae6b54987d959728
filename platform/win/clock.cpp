// The audio path's clock on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace plat {

namespace {
// The counter's frequency is fixed at boot; asked once, when the library
// is loaded, and never from the audio thread.
const uint64_t g_counts_per_s = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1;
}();
}  // namespace

// QueryPerformanceCounter reads the invariant TSC (or the platform timer
// where there is none) in user space through the shared page the kernel
// keeps up to date: no system call, no wait, and it never runs backwards.
uint64_t monotonic_us() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const uint64_t n = static_cast<uint64_t>(c.QuadPart);
    // Whole seconds and the rest apart, so that nothing overflows.
    return n / g_counts_per_s * 1000000u + n % g_counts_per_s * 1000000u / g_counts_per_s;
}

}  // namespace plat
