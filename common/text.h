// Text and number helpers the modules share: byte strings in fixed fields,
// the C locale's white space, ASCII-only letter case, clamping. Character
// classes are table look-ups, not chains of comparisons.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>

namespace text_detail {
constexpr std::array<unsigned char, 256> lower_table() {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return t;
}
constexpr std::array<bool, 256> space_table() {
    std::array<bool, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t[c] = true;
    return t;
}
inline constexpr std::array<unsigned char, 256> kLower = lower_table();
inline constexpr std::array<bool, 256> kSpace = space_table();
}  // namespace text_detail

// Space, horizontal tab, line feed, vertical tab, form feed, carriage return.
inline bool is_space(char c) { return text_detail::kSpace[static_cast<unsigned char>(c)]; }

inline unsigned char ascii_lower(unsigned char c) { return text_detail::kLower[c]; }

// Equal without regard to ASCII letter case; other bytes must match.
inline bool equal_ignore_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const unsigned char x = ascii_lower(static_cast<unsigned char>(*a));
        if (x != ascii_lower(static_cast<unsigned char>(*b))) return false;
        if (!x) return true;
    }
}

// Bounded copy: at most cap-1 bytes, always NUL-terminated.
inline void copy_text(char* dst, size_t cap, const char* src) {
    const size_t n = strnlen(src, cap - 1);
    std::memmove(dst, src, n);
    dst[n] = 0;
}

// Values below lo become lo, above hi become hi; a NaN passes unchanged.
inline float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
