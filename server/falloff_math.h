// The falloff itself, pure: how loud a speaker is at a distance and from
// which side a listener hears them. Positions are in metres, x and y
// horizontal and z up; a yaw of 0 degrees faces +x and 90 faces +y, so a
// speaker at +y of a listener facing +x is on the listener's right.
#pragma once
#include <algorithm>
#include <cmath>

#include "server/config.h"

namespace server {

struct FalloffCurve {
    double near_m = 2;
    Curve curve = Curve::linear;
    double min_db = -30;
};

// Both are here, inline, because a tick calls each for every speaker of
// every listener.

// 1 within near_m, falling to 0 at range_m: linearly, or (db) linearly in
// decibels from 0 dB at near_m to min_db at range_m; 0 beyond range_m.
inline double gain_at(double distance_m, double range_m, const FalloffCurve& c) {
    if (!(distance_m <= range_m)) return 0.0;  // beyond, or not a number
    if (distance_m <= c.near_m) return 1.0;
    const double span = range_m - c.near_m;
    if (span <= 0) return 1.0;
    const double u = (distance_m - c.near_m) / span;  // 0 at near_m, 1 at the range
    if (c.curve == Curve::linear) return std::clamp(1.0 - u, 0.0, 1.0);
    return std::clamp(std::pow(10.0, c.min_db * u / 20.0), 0.0, 1.0);
}

// The sine of the speaker's bearing relative to the listener's facing,
// right positive; 0 when the speaker is straight above or below (no
// horizontal direction). cos_yaw and sin_yaw are of the listener's yaw.
inline double pan_of(double dx, double dy, double cos_yaw, double sin_yaw) {
    // Coordinates are at most 1e12 game units, so the squares cannot
    // overflow; plain sqrt costs a fraction of hypot at every tick.
    const double horizontal = std::sqrt(dx * dx + dy * dy);
    if (!(horizontal > 1e-9)) return 0.0;
    // The speaker's direction in the listener's frame: forward along the
    // yaw, right 90 degrees from it towards +y.
    const double right = dy * cos_yaw - dx * sin_yaw;
    return std::clamp(right / horizontal, -1.0, 1.0);
}

}  // namespace server
