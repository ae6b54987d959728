#include "falloff/line_splitter.h"

#include <cstring>

// Works in runs between carriage returns and up to the next line feed
// (found with memchr), not byte by byte.
size_t split_feed(LineSplitter* s, const char* data, size_t n, bool* done) {
    if (s->complete) split_reset(s);
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', n));
    const size_t upto = lf ? static_cast<size_t>(lf - data) : n;
    size_t i = 0;
    while (i < upto) {
        const char* cr = static_cast<const char*>(std::memchr(data + i, '\r', upto - i));
        const size_t run = (cr ? static_cast<size_t>(cr - data) : upto) - i;
        const size_t room = kLineBuffer - 1 - s->len;
        if (run >= room) {  // the line is full: cut it here
            std::memcpy(s->line + s->len, data + i, room);
            s->len += room;
            s->line[s->len] = 0;
            s->complete = *done = true;
            s->end = LineEnd::cut;
            return i + room;
        }
        std::memcpy(s->line + s->len, data + i, run);
        s->len += run;
        i += run;
        if (cr) ++i;  // a carriage return is dropped
    }
    s->line[s->len] = 0;
    s->complete = *done = lf != nullptr;
    if (!lf) return n;
    s->end = LineEnd::line_feed;
    return upto + 1;
}

bool split_flush(LineSplitter* s) {
    if (s->complete) split_reset(s);
    s->line[s->len] = 0;
    s->complete = true;
    s->end = LineEnd::silence;
    return s->len > 0;
}

void split_reset(LineSplitter* s) {
    s->len = 0;
    s->line[0] = 0;
    s->complete = false;
}
