#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace plat {

std::FILE* file_open(const char* path, const char* mode) { return fopen(path, mode); }

std::FILE* file_create_private(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool file_sync(std::FILE* f) { return fflush(f) == 0 && fsync(fileno(f)) == 0; }

bool file_replace(const char* src, const char* dst) { return rename(src, dst) == 0; }

bool file_remove(const char* path) { return unlink(path) == 0; }

}  // namespace plat
