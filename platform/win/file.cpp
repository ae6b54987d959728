#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win/utf.h"

namespace plat {

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE create(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    wchar_t w[4096];
    if (!utf8_to_wide(path, w, 4096)) return INVALID_HANDLE_VALUE;
    return CreateFileW(w, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// The handle as a C stream; the handle is closed when that fails.
std::FILE* stream(HANDLE h, int flags, const char* mode) {
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
}

// A file on a disk, neither a directory nor a link (reparse point), and
// with no other name when only_name; or the handle is closed and false.
bool plain_file(HANDLE h, uint64_t* size, bool only_name) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        (only_name && info.nNumberOfLinks > 1)) {
        CloseHandle(h);
        return false;
    }
    if (size) *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}
}  // namespace

// A link is followed: the handle is the target's.
std::FILE* file_open_regular(const char* path) {
    HANDLE h = create(path, GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE || !plain_file(h, nullptr, false)) return nullptr;
    return stream(h, _O_RDONLY, "rb");
}

// The link itself is opened, and refused; so is a file with another name.
std::FILE* file_open_append(const char* path, uint64_t* size) {
    HANDLE h = create(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, OPEN_ALWAYS,
                      FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE || !plain_file(h, size, true)) return nullptr;
    return stream(h, _O_WRONLY | _O_APPEND, "ab");
}

// Windows files have no owner-only mode bits here; the file lies in the
// user's own profile, which other users cannot read.
std::FILE* file_create_private(const char* path) {
    HANDLE h = create(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
    return stream(h, _O_WRONLY, "wb");
}

bool file_sync(std::FILE* f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }

bool file_replace(const char* src, const char* dst) {
    wchar_t wsrc[4096], wdst[4096];
    if (!utf8_to_wide(src, wsrc, 4096) || !utf8_to_wide(dst, wdst, 4096)) return false;
    return MoveFileExW(wsrc, wdst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool file_remove(const char* path) {
    wchar_t w[4096];
    return utf8_to_wide(path, w, 4096) && DeleteFileW(w) != 0;
}

}  // namespace plat
