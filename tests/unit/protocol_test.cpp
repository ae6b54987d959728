// The line protocol in memory: the splitter's rules for line feeds,
// carriage returns, NUL bytes and the 8191-character cut, the greeting's
// acceptance and what each later line is.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "falloff/line_splitter.h"
#include "falloff/protocol.h"

namespace {
// The lines a byte stream makes when it arrives in pieces of size step;
// a receive time-out at the end hands on a partial line.
std::vector<std::string> split(const std::string& bytes, size_t step = 1000000, bool time_out_at_end = true) {
    static LineSplitter s;
    split_reset(&s);
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size();) {
        const size_t piece = std::min(step, bytes.size() - at);
        bool done = false;
        at += split_feed(&s, bytes.data() + at, piece, &done);
        if (done) lines.emplace_back(s.line);
    }
    if (time_out_at_end && split_flush(&s)) lines.emplace_back(s.line);
    return lines;
}
using Lines = std::vector<std::string>;
}  // namespace

TEST(LineSplitter, LineFeedsCarriageReturnsAndNulBytes) {
    for (size_t step : {1, 3, 1000}) {
        SCOPED_TRACE(step);
        EXPECT_EQ(split("a\r\n\r\nb\n", step), (Lines{"a", "", "b"}));  // a line of only CR LF is empty
        EXPECT_EQ(split("PI\rNG\n", step), (Lines{"PING"}));  // a CR inside a line is removed
        EXPECT_EQ(split(std::string("PING\0x\n", 7), step), (Lines{"PING"}));  // a NUL ends the line's text
    }
}

TEST(LineSplitter, LongLinesAreCutAndTheRestReadAsFurtherLines) {
    const std::string a(8191, 'a'), b(8191, 'b');
    EXPECT_EQ(split(a + "\n"), (Lines{a, ""}));  // the line feed after exactly 8191 characters
    EXPECT_EQ(split(a + b + "tail\nnext\n", 777), (Lines{a, b, "tail", "next"}));
}

TEST(LineSplitter, ATimeOutHandsOnAPartialLineOnlyWhenThereIsOne) {
    LineSplitter s;
    bool done = false;
    EXPECT_FALSE(split_flush(&s));  // nothing collected: a time-out, not a line
    EXPECT_EQ(split_feed(&s, "PIN", 3, &done), 3u);
    EXPECT_FALSE(done);
    ASSERT_TRUE(split_flush(&s));
    EXPECT_STREQ(s.line, "PIN");
    EXPECT_EQ(split_feed(&s, "G\nX", 3, &done), 2u);  // a new line begins after the time-out
    EXPECT_TRUE(done);
    EXPECT_STREQ(s.line, "G");
}

TEST(Protocol, TheGreetingIsAcceptedByALineBeginningWithOk) {
    for (const char* accepted : {"OKAY", "OK", "OK welcome"}) EXPECT_TRUE(hello_accepted(accepted)) << accepted;
    for (const char* refused : {"ok", "O", "", "PING", "UPDATE2 a 1", " OK", "ERR bad key"})
        EXPECT_FALSE(hello_accepted(refused)) << refused;
}

TEST(Protocol, OnlyAnExactPingAndTheUpdateKeywordsCount) {
    const char* payload = nullptr;
    for (const char* not_ping : {"PING ", "ping", "PINGS", " PING", "OK", "HELLO", ""})
        EXPECT_EQ(classify_line(not_ping, &payload), LineKind::ignored) << '"' << not_ping << '"';
    EXPECT_EQ(classify_line("PING", &payload), LineKind::ping);
    struct Case {
        const char* line;
        LineKind kind;
        const char* payload;
    } cases[] = {
        {"UPDATEabc 0.5", LineKind::update, "abc 0.5"},  // no blank needed after the keyword
        {"UPDATE22 1", LineKind::update2, "2 1"},        // the '2' right after the word makes it UPDATE2
        {"UPDATE2", LineKind::update2, ""},
        {"UPDATE", LineKind::update, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify_line(c.line, &payload), c.kind) << c.line;
        EXPECT_STREQ(payload, c.payload) << c.line;
    }
    for (const char* other : {"UPDAT e 1", "update2 e 1", " UPDATE2 e 1"})
        EXPECT_EQ(classify_line(other, &payload), LineKind::ignored) << other;
}
