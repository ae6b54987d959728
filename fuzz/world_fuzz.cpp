// Whatever body the game side posts to /v1/world: read as the ingest reads
// it, and when it is a world, every player's line built as the tick builds
// it with every player linked. A world read must hold only finite numbers;
// every line must stay within the protocol's 8191 characters and carry no
// number that is not finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/update_builder.h"
#include "server/world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const server::Config config;
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::shared_ptr<const server::World> world = server::parse_world(body, config, {}, &error);
    if (!world) {
        if (error.empty()) std::abort();  // a refusal always says why
        return 0;
    }
    server::LinkMap links;
    for (size_t i = 0; i < world->players.size(); ++i) {
        const server::Player& p = world->players[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) || !std::isfinite(p.cos_yaw) ||
            !std::isfinite(p.sin_yaw))
            std::abort();
        char id[41];
        std::snprintf(id, sizeof id, "%040zx", i);
        links.client_of_player[p.id] = id;
        links.player_of_client[id] = p.id;
    }
    server::UpdateBuilder builder(server::FalloffCurve{config.near_m, config.curve, config.min_db});
    builder.prepare(*world, links);
    std::string line;
    for (const server::Player& p : world->players) {
        builder.line_for(&p, &line);
        if (line.size() > 8191 || line.rfind("UPDATE2", 0) != 0) std::abort();
        if (line.find("nan") != std::string::npos || line.find("inf") != std::string::npos) std::abort();
    }
    return 0;
}
