// The log file's bound. Before an entry would take quorra_link.log past
// 4 MiB, the file becomes quorra_link.log.1 (replacing the older one) and a
// new one starts, so the two never hold more than 8 MiB together.
#pragma once
#include <cstdint>
#include <cstdio>

#include "common/test_seams.h"

inline namespace QL_SEAM_VARIANT {

constexpr uint64_t kLogRotateBytes = uint64_t{4} << 20;

#if QL_TEST_SEAMS
// The test variant's bound, so that tests need not write megabytes.
uint64_t& log_rotate_bytes_seam();
inline uint64_t log_rotate_bytes() { return log_rotate_bytes_seam(); }
#else
inline constexpr uint64_t log_rotate_bytes() { return kLogRotateBytes; }
#endif

// Opens the log at path for appending an entry of entry_len bytes, moving it
// to path.1 first when the entry would take it past the bound. When the move
// fails (on Windows while another program holds the file open), the entry
// goes to the file as it is and the move is tried again at the next entry.
// Null when the log cannot be opened (or is no regular file).
std::FILE* log_open_for_entry(const char* path, uint64_t entry_len);

}  // namespace QL_SEAM_VARIANT
