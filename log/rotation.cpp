#include "log/rotation.h"

#include "common/fields.h"
#include "platform/platform.h"

inline namespace QL_SEAM_VARIANT {

#if QL_TEST_SEAMS
uint64_t& log_rotate_bytes_seam() {
    static uint64_t bytes = kLogRotateBytes;
    return bytes;
}
#endif

std::FILE* log_open_for_entry(const char* path, uint64_t entry_len) {
    uint64_t size = 0;
    std::FILE* f = plat::file_open_append(path, &size);
    // An entry longer than the bound has a file of its own.
    if (!f || size == 0 || size + entry_len <= log_rotate_bytes()) return f;
    char older[kPathField + 2];
    if (std::snprintf(older, sizeof older, "%s.1", path) >= static_cast<int>(sizeof older)) return f;
    std::fclose(f);
    plat::file_replace(path, older);
    return plat::file_open_append(path, &size);
}

}  // namespace QL_SEAM_VARIANT
