// Cuts the bytes the falloff server sends into the protocol's lines: a line
// feed ends a line, a carriage return is dropped wherever it stands, and a
// line is cut after 8191 characters, the rest being read as further lines.
// Pure: no socket, no time; the connection feeds it what it receives.
#pragma once
#include <cstddef>

#include "common/fields.h"

constexpr size_t kLineBuffer = kMaxLineChars + 1;  // 8191 characters and a NUL

// How a complete line ended, for a reader that wants to tell (the
// operators' checker); the plug-in handles all three alike.
enum class LineEnd : unsigned char {
    line_feed,  // its line feed arrived
    cut,        // 8191 characters came without one: the rest is further lines
    silence,    // the receive timed out after part of a line
};

struct LineSplitter {
    char line[kLineBuffer];  // the line, NUL-terminated; a NUL byte in it ends its text
    size_t len = 0;
    bool complete = false;  // line holds a whole line; the next byte begins another
    LineEnd end = LineEnd::line_feed;  // of the last complete line
};

// Takes bytes from data until a line is complete or the bytes run out, and
// returns how many it took. *done tells whether s->line now holds a line.
size_t split_feed(LineSplitter* s, const char* data, size_t n, bool* done);

// The receive timed out: a partial line counts as a line. True when there
// was one (it is in s->line); the next byte begins another either way.
bool split_flush(LineSplitter* s);

// The connection ended: what was collected is dropped.
void split_reset(LineSplitter* s);
