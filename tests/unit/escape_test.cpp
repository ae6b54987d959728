// The escape of outside bytes for the log: printable ASCII stays, every
// other byte and the backslash become \xHH, and a short buffer is cut at a
// whole escape.
#include <gtest/gtest.h>

#include <string>

#include "common/escape.h"

namespace {
std::string escaped(const std::string& in, size_t cap = 1024) {
    std::string out(cap, '#');
    const size_t n = escape_bytes(in.data(), in.size(), out.data(), cap);
    EXPECT_EQ(cap ? out[n] : 0, 0);
    return out.substr(0, n);
}
}  // namespace

TEST(EscapeBytes, EveryByteOutsidePrintableAsciiAndTheBackslash) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    const std::string out = escaped(all, 2048);
    EXPECT_EQ(out.substr(0, 8), "\\x00\\x01");
    EXPECT_EQ(out.substr(32 * 4, 3), " !\"");
    EXPECT_NE(out.find("[\\x5C]"), std::string::npos);
    EXPECT_NE(out.find("}~\\x7F\\x80"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 4), "\\xFF");
    EXPECT_EQ(out.size(), 95u - 1 + 4 * (256 - 95 + 1));  // 94 kept, the rest four bytes each

    EXPECT_EQ(escaped("ERR \x1b[", 8), "ERR ");  // no half escape at the cut
    EXPECT_EQ(escaped("ab\x07", 6), "ab");
    EXPECT_EQ(escaped("ab\x07", 7), "ab\\x07");
    EXPECT_EQ(escaped("ab", 1), "");
    EXPECT_EQ(escaped("ab", 0), "");
}
