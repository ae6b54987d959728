// Bytes from outside (a server's reply line) shown in the log file and the
// log window: printable ASCII stays, every other byte and the backslash
// itself become \xHH, so no terminal escape, bell or stray encoding reaches
// a reader, and the original bytes can still be told apart.
#pragma once
#include <cstddef>

namespace escape_detail {
// Copies bytes that keep(c) accepts, writes every other byte as \xHH; reads
// n bytes, or up to the NUL when to_nul. Cut at a whole escape.
template <class Keep>
size_t escape_with(const char* in, size_t n, bool to_nul, char* out, size_t cap, Keep keep) {
    static const char kHex[] = "0123456789ABCDEF";
    if (cap == 0) return 0;
    size_t o = 0;
    for (size_t i = 0; to_nul ? in[i] != 0 : i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (keep(c)) {
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
}  // namespace escape_detail

// Writes the escaped form of in[0..n) into out (cap bytes, NUL-terminated,
// cut at a whole escape); returns the length written.
inline size_t escape_bytes(const char* in, size_t n, char* out, size_t cap) {
    return escape_detail::escape_with(in, n, false, out, cap,
                                      [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
}

// For the plug-in's own texts that a file or the environment may have put
// any byte into (a host name, a path): only the control bytes become \xHH,
// so a Windows path keeps its backslashes and a name its letters beyond
// ASCII. text is NUL-terminated; out as for escape_bytes.
inline size_t escape_control_bytes(const char* text, char* out, size_t cap) {
    return escape_detail::escape_with(text, 0, true, out, cap, [](unsigned char c) { return c >= 0x20 && c != 0x7F; });
}
