#include "identity/client_id.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "log/log.h"
#include "common/clock.h"
#include "platform/platform.h"

inline namespace QL_SEAM_VARIANT {

namespace {
#if QL_TEST_SEAMS
RandomSource g_random_seam = nullptr;
#endif

bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The first line of the file, at most 127 bytes, or false.
bool read_stored_id(const char* path, char* candidate) {
    std::FILE* f = plat::file_open_regular(path);
    if (!f) return false;
    char line[128] = {};
    bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    return got && parse_stored_id(line, candidate);
}

void new_id(char* candidate) {
    unsigned char bytes[20];
#if QL_TEST_SEAMS
    RandomSource src = g_random_seam ? g_random_seam : plat::random_bytes;
#else
    RandomSource src = plat::random_bytes;
#endif
    if (!src(bytes, sizeof bytes)) mix_tick_and_pid(tick_ms(), plat::process_id(), bytes);
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 20; ++i) {
        candidate[2 * i] = kDigits[bytes[i] >> 4];
        candidate[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    candidate[40] = 0;
}

// The id file is the player's identity: it is written beside the old one
// and moved over it, so a crash or a full disk never leaves it empty or cut.
// The temporary file is made afresh (what a crash left there, or a link
// that someone planted, is removed, never written through). False when the
// id could not be stored.
bool store_id(const char* path, const char* id) {
    char tmp[kPathField + 8];
    std::snprintf(tmp, sizeof tmp, "%s.tmp", path);
    plat::file_remove(tmp);
    std::FILE* f = plat::file_create_private(tmp);
    if (!f) return false;
    bool ok = std::fprintf(f, "%s\r\n", id) == static_cast<int>(std::strlen(id) + 2);
    ok = plat::file_sync(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    ok = ok && plat::file_replace(tmp, path);
    if (!ok) plat::file_remove(tmp);
    return ok;
}
}  // namespace

#if QL_TEST_SEAMS
void set_random_source_seam(RandomSource src) { g_random_seam = src; }
#endif

void mix_tick_and_pid(uint32_t t, uint32_t p, unsigned char out[20]) {
    for (uint32_t i = 0; i < 20; ++i) {
        uint32_t v = (t >> (8 * (i % 4))) ^ (p >> (8 * ((i + 1) % 4))) ^ (37u * i);
        out[i] = static_cast<unsigned char>(v & 0xFF);
    }
}

bool parse_stored_id(const char* first_line, char* out) {
    char line[128];
    copy_text(line, sizeof line, first_line);
    // Only the first line counts.
    if (char* lf = std::strchr(line, '\n')) lf[1] = 0;
    const char* s = line;
    while (is_space(*s)) ++s;
    size_t n = std::strlen(s);
    while (n >= 2 && is_space(s[n - 1])) --n;
    if (n < 32 || n > 127) return false;
    for (size_t i = 0; i < n; ++i)
        if (!is_hex(static_cast<unsigned char>(s[i]))) return false;
    std::memcpy(out, s, n);
    out[n] = 0;
    return true;
}

bool establish_client_id(const HostApi& host, uint32_t plugin_id, int32_t connection, const char* id_path,
                         const LogSink& log, char* out, bool* unsaved) {
    const MumbleApi& api = host.table;
    if (connection < 0 || !host.registered || !api.getLocalUserID || !api.getUserHash || !api.freeMemory)
        return false;

    mumble_userid_t local = 0;
    if (api.getLocalUserID(plugin_id, connection, &local) != kMumbleStatusOk) {
        plugin_log(log, "failed to read local Mumble user id");
        return false;
    }

    const char* hash = nullptr;
    mumble_error_t status = api.getUserHash(plugin_id, connection, local, &hash);
    if (status == kMumbleStatusOk && hash && hash[0]) {
        copy_text(out, kClientIdField, hash);
        api.freeMemory(plugin_id, hash);
        return true;
    }
    if (hash) api.freeMemory(plugin_id, hash);

    char candidate[kClientIdField] = {};
    if (!read_stored_id(id_path, candidate)) {
        new_id(candidate);
        if (!store_id(id_path, candidate) && unsaved) *unsaved = true;
    }
    copy_text(out, kClientIdField, candidate);
    return true;
}

}  // namespace QL_SEAM_VARIANT
