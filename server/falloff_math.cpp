#include "server/falloff_math.h"

#include <algorithm>
#include <cmath>

namespace server {

double gain_at(double distance_m, double range_m, const FalloffCurve& c) {
    if (!(distance_m <= range_m)) return 0.0;  // beyond, or not a number
    if (distance_m <= c.near_m) return 1.0;
    const double span = range_m - c.near_m;
    if (span <= 0) return 1.0;
    const double u = (distance_m - c.near_m) / span;  // 0 at near_m, 1 at the range
    if (c.curve == Curve::linear) return std::clamp(1.0 - u, 0.0, 1.0);
    return std::clamp(std::pow(10.0, c.min_db * u / 20.0), 0.0, 1.0);
}

double pan_of(double dx, double dy, double cos_yaw, double sin_yaw) {
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
