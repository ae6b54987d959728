// The game world as the game side last posted it, in metres, and its
// reading from the ingest's JSON. A world is immutable once read; a new post
// replaces it whole.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/clock.h"
#include "server/config.h"

namespace server {

struct Player {
    std::string id;
    double x = 0, y = 0, z = 0;       // metres
    double cos_yaw = 1, sin_yaw = 0;  // of the facing
    bool alive = true;
    double range_m = 0;  // how far their voice carries
};

struct World {
    std::vector<Player> players;
    std::unordered_map<std::string, size_t> index;  // player id -> players[]
    TimePoint posted{};
    const Player* find(const std::string& id) const;
};

// Reads {"players":[{"id","x","y","z","yaw","alive","range"},...]}: id, x,
// y, z and yaw are required, alive (default true) and range (default
// "normal") may be left out; more fields are ignored. Null with the reason in
// error (naming the player) for anything that is not such a world: a reason a
// game-side developer can act on.
std::shared_ptr<const World> parse_world(const std::string& body, const Config& config, TimePoint now,
                                         std::string* error);

}  // namespace server
