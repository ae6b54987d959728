#include "server/app.h"

#include <future>

namespace server {

App::App(Config config, const TimeSource& time, Log& log, SessionLimits limits)
    : config_(std::move(config)), time_(time), log_(log), work_(asio::make_work_guard(io_)), signals_(io_),
      limits_(limits) {}

App::~App() {
    stop();
    if (ingest_) ingest_->stop();
}

bool App::start(std::string* error) {
    store_ = LinkStore::open(config_.store_path, error);
    if (!store_) return false;
    registry_ = std::make_unique<Registry>(*store_, time_, log_);
    if (!registry_->load(error)) {
        *error = "cannot read the store " + config_.store_path + ": " + *error;
        return false;
    }
    listener_ = std::make_unique<PluginListener>(io_, config_, *registry_, time_, log_, metrics_, limits_);
    if (!listener_->open(error)) return false;
    IngestHooks hooks;
    hooks.set_world = [this](std::shared_ptr<const World> w) { listener_->set_world(std::move(w)); };
    hooks.world = [this] { return listener_->world(); };
    hooks.plugin_status = [this] { return plugin_status(); };
    hooks.metrics = &metrics_;
    ingest_ = std::make_unique<Ingest>(config_, *registry_, time_, log_, std::move(hooks));
    if (!ingest_->open(error)) return false;
    listener_->start();
    ingest_->start();
    log_.write("falloff server: plug-ins on %s:%u, game side on %s:%u%s, %zu links in %s, %g updates a second",
               config_.plugins_listen.host.c_str(), listener_->port(), config_.ingest_listen.host.c_str(),
               ingest_->port(), config_.token.empty() ? "" : " (token required)",
               registry_->links()->client_of_player.size(), config_.store_path.c_str(), config_.rate_hz);
    return true;
}

void App::run() { io_.run(); }

void App::stop() {
    asio::post(io_, [this] {
        if (stopped_) return;
        stopped_ = true;
        if (listener_) listener_->stop();
        signals_.cancel();
        work_.reset();
    });
}

void App::stop_on_signals() {
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.async_wait([this](const asio::error_code& ec, int signal) {
        if (ec) return;
        log_.write("falloff server: %s, stopping", signal == SIGINT ? "SIGINT" : "SIGTERM");
        stop();
    });
}

std::optional<nlohmann::json> App::plugin_status() {
    auto done = std::make_shared<std::promise<nlohmann::json>>();
    std::future<nlohmann::json> result = done->get_future();
    asio::post(io_, [this, done] {
        nlohmann::json clients = nlohmann::json::array();
        for (const ClientStatus& c : listener_->status()) {
            clients.push_back({{"client_id", c.client_id},
                               {"player", c.player.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.player)},
                               {"address", c.address},
                               {"lines", c.lines},
                               {"lines_replaced", c.lines_replaced},
                               {"speakers_left_out", c.speakers_left_out}});
        }
        done->set_value({{"clients", clients},
                         {"speakers_left_out", metrics_.speakers_left_out.load()},
                         {"lines_replaced", metrics_.lines_replaced.load()},
                         {"last_tick_us", metrics_.last_tick_us.load()}});
    });
    if (result.wait_for(std::chrono::seconds(2)) != std::future_status::ready) return std::nullopt;
    return result.get();
}

}  // namespace server
