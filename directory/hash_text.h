// Hash texts: certificate hashes kept in 128-byte fields, compared without
// regard to ASCII letter case.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/fields.h"
#include "common/text.h"

inline bool hash_equal(const char* a, const char* b) { return equal_ignore_case(a, b); }

// The first 8 bytes of a hash, folded to lower case and zero-padded: equal
// hashes have equal keys, so a scan compares keys first and whole texts
// only on a key match.
inline uint64_t hash_key(const char* h) {
    uint64_t k = 0;
    const size_t n = strnlen(h, 8);
    for (size_t i = 0; i < n; ++i) k |= static_cast<uint64_t>(ascii_lower(static_cast<unsigned char>(h[i]))) << (8 * i);
    return k;
}
