// Time, process, environment and the library's own location on Windows.
// Paths and environment values cross this boundary as UTF-8; inside Windows
// they are UTF-16, so a profile such as C:\Users\Jörg works.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/win/utf.h"

namespace plat {

void local_time(std::tm* out) {
    std::time_t now = std::time(nullptr);
    localtime_s(out, &now);
}

uint32_t process_id() { return static_cast<uint32_t>(GetCurrentProcessId()); }

long env_get(const char* name, char* buf, size_t size) {
    wchar_t wname[128];
    if (!utf8_to_wide(name, wname, 128)) return -1;
    wchar_t small[1];
    DWORD need = GetEnvironmentVariableW(wname, small, 1);
    if (need == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? -1 : 0;
    // need counts the terminator; the value is read into a bounded buffer
    // and measured in UTF-8.
    wchar_t wval[4096];
    if (need > 4096) return static_cast<long>(need);  // longer than any bound we accept
    DWORD got = GetEnvironmentVariableW(wname, wval, 4096);
    if (got >= 4096) return static_cast<long>(got);
    int n = WideCharToMultiByte(CP_UTF8, 0, wval, static_cast<int>(got), nullptr, 0, nullptr, nullptr);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < size) {
        WideCharToMultiByte(CP_UTF8, 0, wval, static_cast<int>(got), buf, n, nullptr, nullptr);
        buf[n] = 0;
    }
    return n;
}

static void anchor() {}

static HMODULE own_module(DWORD extra) {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | extra,
                       reinterpret_cast<LPCWSTR>(&anchor), &m);
    return m;
}

size_t module_path(char* buf, size_t size) {
    HMODULE m = own_module(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    if (!m) return 0;
    wchar_t wpath[32768];
    DWORD n = GetModuleFileNameW(m, wpath, 32768);
    if (n == 0 || n >= 32768) return 0;
    int len = WideCharToMultiByte(CP_UTF8, 0, wpath, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (len <= 0) return 0;
    if (static_cast<size_t>(len) < size) {
        WideCharToMultiByte(CP_UTF8, 0, wpath, static_cast<int>(n), buf, len, nullptr, nullptr);
        buf[len] = 0;
    }
    return static_cast<size_t>(len);
}

void pin_module() { own_module(GET_MODULE_HANDLE_EX_FLAG_PIN); }

bool random_bytes(void* buf, size_t len) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    BOOL ok = CryptGenRandom(prov, static_cast<DWORD>(len), static_cast<BYTE*>(buf));
    CryptReleaseContext(prov, 0);
    return ok != FALSE;
}

}  // namespace plat
