#include "server/level_text.h"

namespace server {

char* write_level(char* out, double v) {
    if (!(v >= -1.0)) v = v < -1.0 ? -1.0 : 0.0;  // below the range, or not a number
    if (v > 1.0) v = 1.0;
    // Thousandths, rounded half away from zero.
    int m = static_cast<int>(v * 1000.0 + (v < 0 ? -0.5 : 0.5));
    if (m < 0) {
        *out++ = '-';
        m = -m;
    }
    out[0] = static_cast<char>('0' + m / 1000);
    out[1] = '.';
    out[2] = static_cast<char>('0' + m / 100 % 10);
    out[3] = static_cast<char>('0' + m / 10 % 10);
    out[4] = static_cast<char>('0' + m % 10);
    return out + 5;
}

}  // namespace server
