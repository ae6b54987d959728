#include "common/decimal.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <system_error>

#include "common/text.h"

namespace {
// from_chars leaves the value alone when the number does not fit a double;
// scanf gives an infinity for a large magnitude and zero for a tiny one.
double out_of_range_value(const char* first, const char* last, bool hex) {
    const char exp_upper = hex ? 'P' : 'E';
    const char exp_lower = hex ? 'p' : 'e';
    for (const char* p = first; p < last; ++p) {
        if (*p == exp_upper || *p == exp_lower) {
            return p + 1 < last && p[1] == '-' ? 0.0 : HUGE_VAL;
        }
    }
    // No exponent: a huge integer part overflows, all-zero digits underflow.
    for (const char* p = first; p < last && *p != '.'; ++p)
        if (*p != '0') return HUGE_VAL;
    return 0.0;
}
}  // namespace

int32_t parse_int_prefix(const char* s) {
    while (is_space(*s)) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > 1LL + INT_MAX) v = 1LL + INT_MAX;
    }
    if (neg) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<int32_t>(v);
}

const char* parse_float_prefix(const char* s, const char* end, double* out) {
    while (s < end && is_space(*s)) ++s;
    const char* p = s;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    if (p < end && (*p == '+' || *p == '-')) return nullptr;
    double v = 0;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        auto r = std::from_chars(p + 2, end, v, std::chars_format::hex);
        if (r.ec == std::errc::result_out_of_range) v = out_of_range_value(p + 2, r.ptr, true);
        if (r.ec == std::errc() || r.ec == std::errc::result_out_of_range) {
            *out = neg ? -v : v;
            return r.ptr;
        }
        *out = neg ? -0.0 : 0.0;  // "0x" without hex digits reads as 0
        return p + 1;
    }
    auto r = std::from_chars(p, end, v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        v = out_of_range_value(p, r.ptr, false);
    } else if (r.ec != std::errc()) {
        return nullptr;
    }
    *out = neg ? -v : v;
    return r.ptr;
}

double parse_double_or_zero(const char* s) {
    double v = 0;
    return parse_float_prefix(s, s + std::strlen(s), &v) ? v : 0.0;
}

char* format_fixed(char* first, char* last, double v, int places) {
    if (places < 0) places = 0;
    if (places > 9) places = 9;
    if (!std::isfinite(v)) v = 0.0;
    // Whatever rounds to zero at this precision is written as zero, not -0.
    static constexpr double kHalfUnit[10] = {0.5, 0.05, 0.005, 5e-4, 5e-5, 5e-6, 5e-7, 5e-8, 5e-9, 5e-10};
    const double half_unit = kHalfUnit[places];
    if (std::fabs(v) < half_unit) v = 0.0;
    const std::to_chars_result r = std::to_chars(first, last, v, std::chars_format::fixed, places);
    return r.ec == std::errc() ? r.ptr : nullptr;
}
