#include "server/level_text.h"

#include <array>
#include <cstring>

namespace server {

namespace {

// "000" to "999": the three places of every thousandth.
constexpr std::array<char, 3000> kPlaces = [] {
    std::array<char, 3000> t{};
    for (int i = 0; i < 1000; ++i) {
        t[3 * i] = static_cast<char>('0' + i / 100);
        t[3 * i + 1] = static_cast<char>('0' + i / 10 % 10);
        t[3 * i + 2] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

}  // namespace

char* write_level(char* out, double v) {
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
    std::memcpy(out + 2, &kPlaces[3 * static_cast<size_t>(m % 1000)], 3);
    return out + 5;
}

}  // namespace server
