#include "server/world.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace server {

namespace {

using nlohmann::json;

// Coordinates beyond this (in game units) are taken as a fault of the game
// side, not as a place: their squares would lose all precision.
constexpr double kMaxCoordinate = 1e12;
constexpr size_t kMaxIdChars = 128;

// "players[3] (76561198000000001)": the player a reason names, made only
// when there is a reason to give (a world is read ten times a second).
std::string who(size_t at, const std::string& id) {
    std::string w = "players[" + std::to_string(at) + "]";
    return id.empty() ? w : w + " (" + id + ")";
}

bool read_number(const json& p, const char* key, double limit, double* out, std::string* error, size_t at,
                 const std::string& id) {
    auto it = p.find(key);
    if (it == p.end()) {
        *error = who(at, id) + " has no \"" + key + "\"";
        return false;
    }
    if (!it->is_number() || !std::isfinite(it->get<double>()) || std::fabs(it->get<double>()) > limit) {
        *error = who(at, id) + ": \"" + key + "\" must be a finite number of magnitude at most " +
                 (limit >= kMaxCoordinate ? "1e12" : "1e9");
        return false;
    }
    *out = it->get<double>();
    return true;
}

bool read_player(const json& p, size_t at, const Config& config, Player* out, std::string* error) {
    if (!p.is_object()) {
        *error = who(at, "") + " must be an object";
        return false;
    }
    auto id = p.find("id");
    if (id == p.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
        id->get_ref<const std::string&>().size() > kMaxIdChars) {
        *error = who(at, "") + ": \"id\" must be a text of 1 to " + std::to_string(kMaxIdChars) + " characters";
        return false;
    }
    out->id = id->get_ref<const std::string&>();
    const std::string& pid = out->id;
    double x, y, z, yaw;
    if (!read_number(p, "x", kMaxCoordinate, &x, error, at, pid) ||
        !read_number(p, "y", kMaxCoordinate, &y, error, at, pid) ||
        !read_number(p, "z", kMaxCoordinate, &z, error, at, pid) || !read_number(p, "yaw", 1e9, &yaw, error, at, pid))
        return false;
    out->x = x / config.units_per_metre;
    out->y = y / config.units_per_metre;
    out->z = z / config.units_per_metre;
    const double radians = std::fmod(yaw, 360.0) * M_PI / 180.0;
    out->cos_yaw = std::cos(radians);
    out->sin_yaw = std::sin(radians);

    auto alive = p.find("alive");
    if (alive != p.end() && !alive->is_boolean()) {
        *error = who(at, pid) + ": \"alive\" must be true or false";
        return false;
    }
    out->alive = alive == p.end() || alive->get<bool>();

    static const std::string kDefault = Config::kDefaultRange;
    const std::string* range = &kDefault;
    auto r = p.find("range");
    if (r != p.end()) {
        if (!r->is_string()) {
            *error = who(at, pid) + ": \"range\" must be the name of a voice range";
            return false;
        }
        range = &r->get_ref<const std::string&>();
    }
    for (const VoiceRange& v : config.ranges) {
        if (v.name == *range) {
            out->range_m = v.metres;
            return true;
        }
    }
    std::string names;
    for (const VoiceRange& v : config.ranges) names += (names.empty() ? "" : ", ") + v.name;
    *error = who(at, pid) + ": unknown range \"" + *range + "\" (this server has " + names + ")";
    return false;
}

}  // namespace

const Player* World::find(const std::string& id) const {
    auto it = index.find(id);
    return it == index.end() ? nullptr : &players[it->second];
}

std::shared_ptr<const World> parse_world(const std::string& body, const Config& config, TimePoint now,
                                         std::string* error) {
    json doc = json::parse(body, nullptr, false);
    if (doc.is_discarded()) {
        *error = "the body is not JSON";
        return nullptr;
    }
    auto players = doc.is_object() ? doc.find("players") : doc.end();
    if (!doc.is_object() || players == doc.end() || !players->is_array()) {
        *error = "expected {\"players\":[...]}";
        return nullptr;
    }
    if (players->size() > config.max_players) {
        *error = std::to_string(players->size()) + " players is more than this server takes (" +
                 std::to_string(config.max_players) + ", ingest.max_players)";
        return nullptr;
    }
    auto world = std::make_shared<World>();
    world->posted = now;
    world->players.resize(players->size());
    for (size_t i = 0; i < players->size(); ++i) {
        if (!read_player((*players)[i], i, config, &world->players[i], error)) return nullptr;
        if (!world->index.emplace(world->players[i].id, i).second) {
            *error = "players[" + std::to_string(i) + "]: the id " + world->players[i].id + " is listed twice";
            return nullptr;
        }
    }
    return world;
}

}  // namespace server
