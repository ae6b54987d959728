#include "simulation.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace {
constexpr double kPi = 3.14159265358979323846;

// Three kinds of walk, given to the creatures in turn.
Vec2 orbit(double t) {  // circles the origin, drifting in and out
    double r = 18 + 10 * std::sin(2 * kPi * t / 13);
    double a = 2 * kPi * t / 16;
    return {r * std::cos(a), r * std::sin(a)};
}

Vec2 pass_by(double t) {  // walks a line in front, out of range at both ends
    double period = 24, u = std::fmod(t, period) / period;
    double x = u < 0.5 ? -60 + 240 * u : 180 - 240 * u;
    return {x, 6};
}

Vec2 approach(double t) {  // comes close and backs off again, on one bearing
    double d = 30 - 25 * std::cos(2 * kPi * t / 10);
    double a = -kPi / 6;
    return {d * std::cos(a), d * std::sin(a)};
}

// Decimal text with a full stop whatever the locale, as the wire wants.
void append_number(std::string* out, double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    out->append(buf, r.ptr);
}
}  // namespace

double falloff_gain(double d, const FalloffCurve& c) {
    if (d <= c.near_m) return 1;
    if (d >= c.far_m) return 0;
    double u = (d - c.near_m) / (c.far_m - c.near_m);
    return c.linear ? 1 - u : 1 - u * u * (3 - 2 * u);
}

double bearing_pan(Vec2 listener, double heading, Vec2 target) {
    double dx = target.x - listener.x, dy = target.y - listener.y;
    if (dx == 0 && dy == 0) return 0;
    double p = std::sin(heading - std::atan2(dy, dx));
    return std::fmax(-1.0, std::fmin(1.0, p));
}

Simulation::Simulation(std::vector<Creature> creatures, FalloffCurve curve)
    : creatures_(std::move(creatures)), curve_(curve) {}

Vec2 Simulation::listener_pos(double) const { return {0, 0}; }

// Starts facing +y and turns left by about 3.4 degrees a second, so even a
// creature holding still drifts across the stereo image.
double Simulation::listener_heading(double t) const { return kPi / 2 + 0.06 * t; }

CreatureState Simulation::state(size_t i, double t) const {
    CreatureState s;
    switch (i % 3) {
        case 0: s.pos = orbit(t); break;
        case 1: s.pos = pass_by(t); break;
        default: s.pos = approach(t); break;
    }
    Vec2 l = listener_pos(t);
    s.gain = falloff_gain(std::hypot(s.pos.x - l.x, s.pos.y - l.y), curve_);
    s.pan = bearing_pan(l, listener_heading(t), s.pos);
    s.listed = s.gain > 0;
    return s;
}

std::string Simulation::update_line(double t) const {
    std::string line = "UPDATE2";
    bool first = true;
    for (size_t i = 0; i < creatures_.size(); ++i) {
        CreatureState s = state(i, t);
        if (!s.listed) continue;
        line += first ? " " : ", ";
        first = false;
        line += creatures_[i].hash;
        line += ' ';
        append_number(&line, s.gain);
        line += ' ';
        append_number(&line, s.pan);
    }
    return line;
}

std::vector<Creature> read_creatures(const std::string& cast_path) {
    std::vector<Creature> out;
    std::ifstream f(cast_path);
    std::string text;
    while (std::getline(f, text)) {
        std::istringstream in(text);
        std::string role;
        Creature c;
        if (!(in >> role) || role[0] == '#' || role != "creature") continue;
        if (in >> c.name >> c.hash) out.push_back(c);
    }
    return out;
}
