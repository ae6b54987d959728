// Bytes from outside (a server's reply line) shown in the log file and the
// log window: printable ASCII stays, every other byte and the backslash
// itself become \xHH, so no terminal escape, bell or stray encoding reaches
// a reader, and the original bytes can still be told apart.
#pragma once
#include <cstddef>

// Writes the escaped form of in[0..n) into out (cap bytes, NUL-terminated,
// cut at a whole escape); returns the length written.
inline size_t escape_bytes(const char* in, size_t n, char* out, size_t cap) {
    static const char kHex[] = "0123456789ABCDEF";
    if (cap == 0) return 0;
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            if (o + 1 >= cap) break;
            out[o++] = static_cast<char>(c);
        } else {
            if (o + 4 >= cap) break;
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[c >> 4];
            out[o++] = kHex[c & 15];
        }
    }
    out[o] = 0;
    return o;
}

// For the plug-in's own texts that a file or the environment may have put
// any byte into (a host name, a path): only the control bytes become \xHH,
// so a Windows path keeps its backslashes and a name its letters beyond
// ASCII. text is NUL-terminated; out as for escape_bytes.
inline size_t escape_control_bytes(const char* text, char* out, size_t cap) {
    static const char kHex[] = "0123456789ABCDEF";
    if (cap == 0) return 0;
    size_t o = 0;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) {
            if (o + 1 >= cap) break;
            out[o++] = static_cast<char>(c);
        } else {
            if (o + 4 >= cap) break;
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[c >> 4];
            out[o++] = kHex[c & 15];
        }
    }
    out[o] = 0;
    return o;
}
