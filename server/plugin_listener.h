// The plug-ins' TCP port: accepts connections (within a cap in all and per
// address), checks each greeting, replaces an older connection of the same
// client, closes connections past their deadlines, and at every tick sends
// each greeted client its line. All of it on one event-loop thread; the
// world and the links come in as snapshots from the ingest's threads.
#pragma once
#include <asio.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/clock.h"
#include "server/config.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/registry.h"
#include "server/session.h"
#include "server/update_builder.h"
#include "server/world.h"

namespace server {

struct ClientStatus {
    std::string client_id;
    std::string player;  // empty: not linked
    std::string address;
    uint64_t lines = 0;            // updates written to it
    uint64_t lines_replaced = 0;   // updates a newer one replaced before it was written
    uint64_t speakers_left_out = 0;
};

class PluginListener {
public:
    PluginListener(asio::io_context& io, const Config& config, Registry& registry, const TimeSource& time, Log& log,
                   Metrics& metrics, SessionLimits limits = {});
    bool open(std::string* error);
    uint16_t port() const { return port_; }
    void start();  // accepting, the tick and the deadline sweep
    void stop();   // every connection closed, nothing more accepted

    void set_world(std::shared_ptr<const World> world);  // any thread
    std::shared_ptr<const World> world() const;          // any thread
    std::vector<ClientStatus> status() const;            // the loop's thread

    // For the sessions.
    void handle_greeting(Session& s, const std::string& line);
    void session_closed(Session& s, const std::string& why);
    const TimeSource& time() const { return time_; }
    const SessionLimits& limits() const { return limits_; }
    Metrics& metrics() { return metrics_; }
    Log& log() { return log_; }

private:
    void accept_next();
    void tick();
    void sweep();
    void log_capped(const std::string& address, const char* why);

    asio::io_context& io_;
    const Config& config_;
    Registry& registry_;
    const TimeSource& time_;
    Log& log_;
    Metrics& metrics_;
    SessionLimits limits_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer tick_timer_, sweep_timer_;
    std::chrono::steady_clock::time_point next_tick_;
    uint16_t port_ = 0;
    bool stopped_ = false;

    std::unordered_set<std::shared_ptr<Session>> sessions_;
    std::unordered_map<std::string, Session*> by_client_;  // greeted clients
    std::unordered_map<std::string, size_t> per_address_;
    std::unordered_map<std::string, TimePoint> capped_logged_;  // refusals logged once a minute per address

    mutable std::mutex world_m_;
    std::shared_ptr<const World> world_;
    std::shared_ptr<const World> last_sent_world_;  // the tick's thread only
    UpdateBuilder builder_;
    std::string line_;
};

}  // namespace server
