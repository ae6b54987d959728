#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace plat {

namespace {
// The stream of an open descriptor when it is a regular file (with no other
// name, when only_name); the descriptor is closed otherwise. O_NONBLOCK,
// which kept the open from waiting on a FIFO, is taken off again.
std::FILE* regular_stream(int fd, const char* mode, uint64_t* size, bool only_name) {
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (only_name && st.st_nlink > 1)) {
        close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (size) *size = static_cast<uint64_t>(st.st_size);
    std::FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}
}  // namespace

std::FILE* file_open_regular(const char* path) {
    return regular_stream(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), "rb", nullptr, false);
}

std::FILE* file_open_append(const char* path, uint64_t* size) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    return regular_stream(fd, "ab", size, true);
}

std::FILE* file_create_private(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool file_sync(std::FILE* f) { return fflush(f) == 0 && fsync(fileno(f)) == 0; }

bool file_replace(const char* src, const char* dst) { return rename(src, dst) == 0; }

bool file_remove(const char* path) { return unlink(path) == 0; }

}  // namespace plat
