// Text and number helpers the modules share: byte strings in fixed fields,
// the C locale's white space, ASCII-only letter case, clamping.
#pragma once
#include <cstddef>

// Space, horizontal tab, line feed, vertical tab, form feed, carriage return.
inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// Equal without regard to ASCII letter case; other bytes must match.
inline bool equal_ignore_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = ascii_lower(static_cast<unsigned char>(*a));
        unsigned char y = ascii_lower(static_cast<unsigned char>(*b));
        if (x != y) return false;
        if (!x) return true;
    }
}

// Bounded copy: at most cap-1 bytes, always NUL-terminated.
inline void copy_text(char* dst, size_t cap, const char* src) {
    size_t n = 0;
    while (n + 1 < cap && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
}

// Values below lo become lo, above hi become hi; a NaN passes unchanged.
inline float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
