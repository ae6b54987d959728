// Time, process, environment and the library's own location on POSIX.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace plat {

void local_time(std::tm* out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

long env_get(const char* name, char* buf, size_t size) {
    const char* v = getenv(name);
    if (!v) return -1;
    size_t n = strlen(v);
    if (n < size) memcpy(buf, v, n + 1);
    return static_cast<long>(n);
}

static void anchor() {}

size_t module_path(char* buf, size_t size) {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&anchor), &info) || !info.dli_fname || !*info.dli_fname)
        return 0;
    const char* path = info.dli_fname;
    char resolved[PATH_MAX];
    if (path[0] != '/' && realpath(path, resolved)) path = resolved;
    size_t n = strlen(path);
    if (n < size) memcpy(buf, path, n + 1);
    return n;
}

void pin_module() {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&anchor), &info) || !info.dli_fname) return;
    // RTLD_NODELETE on an already loaded object marks it never to be unmapped.
    void* h = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    (void)h;  // the reference is kept on purpose
}

bool random_bytes(void* buf, size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace plat
