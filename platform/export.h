// Compiler and OS attributes used by the rest of the code.
#pragma once
#include <cstdio>  // defines MinGW's format macro

// Marks one of the library's exported entry points (C linkage, undecorated).
#ifdef _WIN32
#define QL_EXPORT extern "C" __declspec(dllexport)
#else
#define QL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// printf-style checking of a logging call's format and arguments; MinGW's
// formatter is the C99 one, so GCC is told to check against that.
#if defined(__MINGW_PRINTF_FORMAT)
#define QL_PRINTF(a, b) __attribute__((format(__MINGW_PRINTF_FORMAT, a, b)))
#elif defined(__GNUC__)
#define QL_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define QL_PRINTF(a, b)
#endif
