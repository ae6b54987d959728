// UTF-8 <-> UTF-16 for the Windows implementation files only.
#pragma once
#include <windows.h>

#include <cstddef>

namespace plat {

inline bool utf8_to_wide(const char* s, wchar_t* out, int cap) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, out, cap);
    return n > 0;
}

}  // namespace plat
