// The game side's HTTP interface (JSON):
//   POST   /v1/world            the whole world now; replaces the last one
//   POST   /v1/chat             a line a player typed ("!verify CODE" links)
//   GET    /v1/status           clients, players, world age, rate
//   DELETE /v1/links/<player>   unlink a player
//   GET    /metrics             the counts in the Prometheus text format
// With a token configured every call needs "Authorization: Bearer <token>".
// Bad input is answered 4xx with {"error": reason} and changes nothing.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "server/chat_command.h"
#include "server/clock.h"
#include "server/config.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/registry.h"
#include "server/world.h"

namespace httplib {
class Server;
}

namespace server {

struct IngestHooks {
    std::function<void(std::shared_ptr<const World>)> set_world;
    std::function<std::shared_ptr<const World>()> world;
    // The plug-in side's part of the status ({"clients": [...]} and counts);
    // null when it could not be had in time.
    std::function<std::optional<nlohmann::json>()> plugin_status;
    // The counts as GET /metrics shows them.
    Metrics* metrics = nullptr;
};

class Ingest {
public:
    Ingest(const Config& config, Registry& registry, const TimeSource& time, Log& log, IngestHooks hooks);
    ~Ingest();
    bool open(std::string* error);
    uint16_t port() const { return port_; }
    void start();  // serves on threads of its own
    void stop();

private:
    void routes();
    bool authorised(const std::string& header) const;

    const Config& config_;
    Registry& registry_;
    const TimeSource& time_;
    Log& log_;
    IngestHooks hooks_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    uint16_t port_ = 0;
};


}  // namespace server
