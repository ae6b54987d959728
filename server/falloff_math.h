// The falloff itself, pure: how loud a speaker is at a distance and from
// which side a listener hears them. Positions are in metres, x and y
// horizontal and z up; a yaw of 0 degrees faces +x and 90 faces +y, so a
// speaker at +y of a listener facing +x is on the listener's right.
#pragma once
#include "server/config.h"

namespace server {

struct FalloffCurve {
    double near_m = 2;
    Curve curve = Curve::linear;
    double min_db = -30;
};

// 1 within near_m, falling to 0 at range_m: linearly, or (db) linearly in
// decibels from 0 dB at near_m to min_db at range_m; 0 beyond range_m.
double gain_at(double distance_m, double range_m, const FalloffCurve& c);

// The sine of the speaker's bearing relative to the listener's facing,
// right positive; 0 when the speaker is straight above or below (no
// horizontal direction). cos_yaw and sin_yaw are of the listener's yaw.
double pan_of(double dx, double dy, double cos_yaw, double sin_yaw);

}  // namespace server
