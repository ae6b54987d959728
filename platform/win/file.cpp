#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win/utf.h"

namespace plat {

std::FILE* file_open(const char* path, const char* mode) {
    wchar_t wpath[4096];
    wchar_t wmode[16];
    if (!utf8_to_wide(path, wpath, 4096) || !utf8_to_wide(mode, wmode, 16)) return nullptr;
    return _wfopen(wpath, wmode);
}

// Windows files have no owner-only mode bits here; the file lies in the
// user's own profile, which other users cannot read.
std::FILE* file_create_private(const char* path) { return file_open(path, "wb"); }

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
