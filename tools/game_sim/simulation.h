// A small world for the demo: a listener at the origin who turns slowly,
// and creatures walking fixed paths around it. From each creature's
// distance and bearing the world derives what a falloff server sends the
// listener's plug-in: a gain from the falloff curve and a pan from the
// bearing relative to the listener's heading.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct Vec2 {
    double x = 0, y = 0;
};

// Full volume inside near_m, silent from far_m on, and in between a smooth
// fade: with u = (d - near) / (far - near), gain = 1 - u*u*(3 - 2*u).
// linear: falling in a straight line from 1 at near_m to 0 at far_m
// instead, as the falloff server's "linear" curve with far_m its range.
struct FalloffCurve {
    double near_m = 8;
    double far_m = 45;
    bool linear = false;
};
double falloff_gain(double distance_m, const FalloffCurve& curve);

// Pan of a sound at target heard by someone at listener facing heading_rad
// (counter-clockwise from the +x axis): the sine of the angle from the
// heading to the target, clockwise positive, so -1 is hard left, +1 hard
// right, and 0 straight ahead or straight behind.
double bearing_pan(Vec2 listener, double heading_rad, Vec2 target);

// A creature of the cast: its player's certificate hash names it on the wire.
struct Creature {
    std::string name;
    std::string hash;
};

struct CreatureState {
    Vec2 pos;
    double gain = 0;  // from the curve
    double pan = 0;
    bool listed = false;  // in range, so named in the update
};

class Simulation {
public:
    explicit Simulation(std::vector<Creature> creatures, FalloffCurve curve = {});

    Vec2 listener_pos(double t) const;
    double listener_heading(double t) const;  // radians
    // Where creature i stands at time t (seconds), and what it sounds like.
    CreatureState state(size_t i, double t) const;
    // The UPDATE2 line for time t (without the line feed): every creature in
    // range as "hash gain pan", comma separated; "UPDATE2" alone when none is.
    std::string update_line(double t) const;

    const std::vector<Creature>& creatures() const { return creatures_; }
    const FalloffCurve& curve() const { return curve_; }

private:
    std::vector<Creature> creatures_;
    FalloffCurve curve_;
};

// Reads the creatures of a cast file: lines "<role> <name> <hash> ...",
// whose role is "creature"; other roles and lines starting with # are
// skipped. Empty when the file cannot be read.
std::vector<Creature> read_creatures(const std::string& cast_path);

// When simulated second 0 was on the steady clock: now, or the wall-clock
// moment epoch_ms (ms since 1970, when above 0) that the headless host shares.
inline std::chrono::steady_clock::time_point simulation_start(int64_t epoch_ms) {
    using namespace std::chrono;
    auto start = steady_clock::now();
    if (epoch_ms > 0) {
        const auto wall = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        start += milliseconds(epoch_ms - wall);
    }
    return start;
}
