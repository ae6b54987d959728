// Hash texts: certificate hashes kept in 128-byte fields, compared without
// regard to ASCII letter case.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t kHashField = 128;  // 127 characters and a NUL

// Bounded copy: at most cap-1 bytes, always NUL-terminated.
inline void copy_text(char* dst, size_t cap, const char* src) {
    size_t n = 0;
    while (n + 1 < cap && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
}

inline unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

inline bool hash_equal(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = ascii_lower(static_cast<unsigned char>(*a));
        unsigned char y = ascii_lower(static_cast<unsigned char>(*b));
        if (x != y) return false;
        if (!x) return true;
    }
}

// The first 8 bytes of a hash, folded to lower case and zero-padded: equal
// hashes have equal keys, so a scan compares keys first and whole texts
// only on a key match.
inline uint64_t hash_key(const char* h) {
    uint64_t k = 0;
    for (int i = 0; i < 8 && h[i]; ++i)
        k |= static_cast<uint64_t>(ascii_lower(static_cast<unsigned char>(h[i]))) << (8 * i);
    return k;
}
