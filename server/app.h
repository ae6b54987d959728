// The falloff server as a whole: the store and the links registry, the
// plug-ins' listener on one event-loop thread, and the ingest on threads of
// its own. start() opens everything (and says what failed), run() serves
// until stop(), which closes every connection and then the store.
#pragma once
#include <asio.hpp>
#include <memory>
#include <string>

#include "server/clock.h"
#include "server/config.h"
#include "server/ingest.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/plugin_listener.h"
#include "server/registry.h"
#include "server/store.h"

namespace server {

class App {
public:
    App(Config config, const TimeSource& time, Log& log, SessionLimits limits = {});
    ~App();

    bool start(std::string* error);
    void run();                // serves on the calling thread until stop()
    void stop();               // any thread
    void stop_on_signals();    // SIGINT and SIGTERM call stop()

    uint16_t plugin_port() const { return listener_->port(); }
    uint16_t ingest_port() const { return ingest_->port(); }
    Metrics& metrics() { return metrics_; }

private:
    std::optional<nlohmann::json> plugin_status();

    Config config_;
    const TimeSource& time_;
    Log& log_;
    Metrics metrics_;
    asio::io_context io_{1};  // run by one thread only: asio can skip some locking
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::signal_set signals_;
    std::unique_ptr<LinkStore> store_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<PluginListener> listener_;
    std::unique_ptr<Ingest> ingest_;
    SessionLimits limits_;
    bool stopped_ = false;
};

}  // namespace server
