// A level that moves linearly in time: from one value to another over a
// length of time from its start. Writers start glides; the audio path only
// asks where one stands at a moment.
#pragma once
#include <cstdint>

// Without member initialisers: the audio path's look-up fills a glide only
// for a row that has one, and zeroes nothing it does not read.
struct Glide {
    float from, to;
    uint64_t start_us;   // on the glide clock (glide_now_us)
    uint32_t length_us;  // 0: at `to` from the start on

    bool done_by(uint64_t now_us) const { return length_us == 0 || now_us >= start_us + length_us; }
    // `from` before the start, `to` itself from the end on, and in between
    // the straight line: never beyond either end.
    float at(uint64_t now_us) const {
        if (length_us == 0 || now_us >= start_us + length_us) return to;
        if (now_us <= start_us) return from;
        const float part = static_cast<float>(now_us - start_us) / static_cast<float>(length_us);
        const float v = from + (to - from) * part;
        return from < to ? (v < from ? from : v > to ? to : v) : (v < to ? to : v > from ? from : v);
    }
    // A glide at rest on a value.
    static Glide still(float v) { return Glide{v, v, 0, 0}; }
};
