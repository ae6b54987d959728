// Where each user's level goes next, and how: the rows of a fresh join are
// at rest on their new levels; planned against the rows published before,
// a changed gain or pan glides from where it stands at that moment to the
// new value, a user newly listed fades in from silence, and a user no
// longer listed stays in the table while fading out. Glides that have
// ended by then come to rest. Never a jump, never beyond either end.
#pragma once
#include <cstdint>

#include "audio/mix_table.h"

struct GlideLengths {
    uint32_t gain_us = 0, pan_us = 0;  // 0: the new value at once
};

// Pure: reads before, rewrites next's glides and appends its fading rows
// (as far as the table has room).
void plan_glides(const MixTable& before, uint64_t now_us, const GlideLengths& lengths, MixTable* next);
