// A gain or a pan as the update lines carry it: three places after a full
// stop, whatever the locale ("0.734", "-0.412", "1.000"). The tick writes
// two of these for every speaker of every listener, tens of thousands a
// tick in a crowd, so this is integer arithmetic rather than a general
// floating-point formatter.
#pragma once
#include <array>
#include <cstring>

namespace server {

namespace level_text_detail {
// "000" to "999": the three places of every thousandth.
inline constexpr std::array<char, 3000> kPlaces = [] {
    std::array<char, 3000> t{};
    for (int i = 0; i < 1000; ++i) {
        t[3 * i] = static_cast<char>('0' + i / 100);
        t[3 * i + 1] = static_cast<char>('0' + i / 10 % 10);
        t[3 * i + 2] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

}  // namespace level_text_detail

// Writes v, held to -1..1, with three places; a value that rounds to zero
// has no sign, and one that is not a number is written as zero. Writes at
// most 6 characters; returns the end of the text.
inline char* write_level(char* out, double v) {
    if (!(v >= -1.0)) v = v < -1.0 ? -1.0 : 0.0;  // below the range, or not a number
    if (v > 1.0) v = 1.0;
    // Thousandths, rounded half away from zero.
    int m = static_cast<int>(v * 1000.0 + (v < 0 ? -0.5 : 0.5));
    if (m < 0) {
        *out++ = '-';
        m = -m;
    }
    out[0] = m == 1000 ? '1' : '0';
    out[1] = '.';
    std::memcpy(out + 2, &level_text_detail::kPlaces[3 * static_cast<size_t>(m % 1000)], 3);
    return out + 5;
}

}  // namespace server
