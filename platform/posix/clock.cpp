// The audio path's clock on POSIX.
#include <time.h>

#include "platform/platform.h"

namespace plat {

// clock_gettime(CLOCK_MONOTONIC) is answered in user space by the vDSO,
// the kernel's page mapped into every process on Linux: it reads the
// clock source's counter (the TSC on x86-64) and the kernel's published
// scale, with no system call. Only where the clock source cannot be read
// from user space (an exotic one some virtual machines select) does the
// vDSO fall back to the system call; the audio path then pays that call's
// cost, never a wait. CLOCK_MONOTONIC_COARSE would be cheaper still but
// moves in steps of up to 4 ms, too coarse for glides of a few blocks.
uint64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace plat
