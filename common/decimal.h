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

// Writes v with exactly `places` digits after a full stop (at most 9),
// whatever the locale: "0.734", "-0.412", "1.000". A value that rounds to
// zero is written without a sign, and one that is not a finite number as
// zero, so the text always parses back to a number. Returns the end of the
// text, or null when it does not fit between first and last.
char* format_fixed(char* first, char* last, double v, int places);
