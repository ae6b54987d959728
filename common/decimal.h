// Number texts in the configuration file and on the wire. The full stop is
// the decimal separator whatever the process's locale: the host may run
// under a locale whose strtof would read "0.5" as 0.
#pragma once
#include <cstdint>

// In the manner of atoi: leading white space, optional sign, digits up to
// the first other character; no digits give 0. Saturates at the int range.
int32_t parse_int_prefix(const char* s);

// The longest prefix of s (after white space) that forms a floating-point
// number, as scanf's %f reads it: sign, digits with an optional point and
// exponent, hexadecimal, inf, infinity or nan. Returns the end of the number
// or null when no number starts there. Overflow gives an infinity, underflow
// a zero, of the number's sign.
// Reads no further than end.
const char* parse_float_prefix(const char* s, const char* end, double* out);

// In the manner of atof: 0 when no number starts there.
double parse_double_or_zero(const char* s);
