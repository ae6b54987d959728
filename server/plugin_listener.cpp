#include "server/plugin_listener.h"

#include <algorithm>

#include "server/hello.h"

namespace server {

namespace {
constexpr std::chrono::milliseconds kSweepEvery{100};
constexpr std::chrono::minutes kCappedLogEvery{1};
}  // namespace

PluginListener::PluginListener(asio::io_context& io, const Config& config, Registry& registry, const TimeSource& time,
                               Log& log, Metrics& metrics, SessionLimits limits)
    : io_(io),
      config_(config),
      registry_(registry),
      time_(time),
      log_(log),
      metrics_(metrics),
      limits_(limits),
      acceptor_(io),
      tick_timer_(io),
      sweep_timer_(io),
      builder_(FalloffCurve{config.near_m, config.curve, config.min_db}) {}

bool PluginListener::open(std::string* error) {
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address(config_.plugins_listen.host, ec);
    if (ec) {
        *error = "plugins.listen: " + config_.plugins_listen.host + " is not an IP address";
        return false;
    }
    const asio::ip::tcp::endpoint endpoint(address, config_.plugins_listen.port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen for plug-ins on " + config_.plugins_listen.host + ":" +
                 std::to_string(config_.plugins_listen.port) + ": " + ec.message();
        return false;
    }
    port_ = acceptor_.local_endpoint().port();
    return true;
}

void PluginListener::start() {
    accept_next();
    next_tick_ = std::chrono::steady_clock::now();
    tick();
    sweep();
}

void PluginListener::stop() {
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    tick_timer_.cancel();
    sweep_timer_.cancel();
    std::vector<std::shared_ptr<Session>> all(sessions_.begin(), sessions_.end());
    for (const auto& s : all) s->close("the server is stopping");
}

void PluginListener::accept_next() {
    acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (stopped_) return;
        if (!ec) {
            asio::error_code peer_ec;
            const auto peer = socket.remote_endpoint(peer_ec);
            const std::string address = peer_ec ? "?" : peer.address().to_string();
            auto from_address = per_address_.find(address);
            if (sessions_.size() >= config_.max_connections) {
                metrics_.connections_capped++;
                log_capped(address, "the server holds plugins.max_connections connections");
            } else if (from_address != per_address_.end() && from_address->second >= config_.max_per_address) {
                metrics_.connections_capped++;
                log_capped(address, "that address holds plugins.max_per_address connections");
            } else {
                // The socket closes as it goes out of scope in the two
                // cases above.
                metrics_.connections++;
                ++per_address_[address];
                auto s = std::make_shared<Session>(std::move(socket), address, *this, time_.now());
                sessions_.insert(s);
                metrics_.greeting_now++;
                s->start();
            }
        } else if (ec == asio::error::operation_aborted) {
            return;
        }
        // Other errors (out of descriptors, a connection reset before it
        // was taken) end only that connection.
        accept_next();
    });
}

void PluginListener::log_capped(const std::string& address, const char* why) {
    const TimePoint now = time_.now();
    auto it = capped_logged_.find(address);
    if (it != capped_logged_.end() && now - it->second < kCappedLogEvery) return;
    if (capped_logged_.size() > 10000) capped_logged_.clear();
    capped_logged_[address] = now;
    log_.write("refused connections from %s: %s (logged once a minute per address)", address.c_str(), why);
}

void PluginListener::handle_greeting(Session& s, const std::string& line) {
    const GreetingCheck g = check_hello(line, config_.keys, config_.min_plugin_version);
    if (!g.accepted) {
        if (g.refusal == "key") metrics_.refused_key++;
        else if (g.refusal == "version") metrics_.refused_version++;
        else metrics_.refused_malformed++;
        log_.write("refused plug-in from %s (client %s, build %s): %s", s.address().c_str(),
                   g.client_id.empty() ? "?" : g.client_id.c_str(), g.build.empty() ? "?" : g.build.c_str(),
                   g.reply.c_str());
        s.reply_to_greeting(g.reply, false, "");
        return;
    }
    metrics_.greetings_accepted++;
    metrics_.greeting_now--;
    metrics_.ready_now++;
    auto older = by_client_.find(g.client_id);
    if (older != by_client_.end()) {
        metrics_.closed_replaced++;
        older->second->close("replaced by a new connection of the same client");
    }
    // Known as connected before the OK goes out, so a "!verify" the player
    // types on seeing the banner finds it.
    by_client_[g.client_id] = &s;
    registry_.client_connected(g.client_id);
    s.reply_to_greeting(g.reply, true, g.client_id);
    auto links = registry_.links();
    auto linked = links->player_of_client.find(g.client_id);
    log_.write("plug-in %s connected from %s (build %s), %s%s", g.client_id.c_str(), s.address().c_str(),
               g.build.empty() ? "?" : g.build.c_str(),
               linked == links->player_of_client.end() ? "not linked yet" : "player ",
               linked == links->player_of_client.end() ? "" : linked->second.c_str());
}

void PluginListener::session_closed(Session& s, const std::string& why) {
    if (s.client_id().empty()) metrics_.greeting_now--;
    else metrics_.ready_now--;
    auto it = by_client_.find(s.client_id());
    if (!s.client_id().empty() && it != by_client_.end() && it->second == &s) {
        by_client_.erase(it);
        registry_.client_gone(s.client_id());
    }
    log_.write("plug-in %s from %s closed: %s", s.client_id().empty() ? "(not greeted)" : s.client_id().c_str(),
               s.address().c_str(), why.c_str());
    auto addr = per_address_.find(s.address());
    if (addr != per_address_.end() && --addr->second == 0) per_address_.erase(addr);
    // The set lets go of it once the loop is out of whatever closed it
    // (a sweep or a tick may be walking the set).
    std::shared_ptr<Session> self = s.shared_from_this();
    asio::post(io_, [this, self] { sessions_.erase(self); });
}

void PluginListener::set_world(std::shared_ptr<const World> world) {
    std::lock_guard<std::mutex> lock(world_m_);
    world_ = std::move(world);
}

std::shared_ptr<const World> PluginListener::world() const {
    std::lock_guard<std::mutex> lock(world_m_);
    return world_;
}

void PluginListener::tick() {
    if (stopped_) return;
    const auto started = std::chrono::steady_clock::now();
    static const World kNoWorld;
    std::shared_ptr<const World> world = this->world();
    const World& w = world ? *world : kNoWorld;
    std::shared_ptr<const LinkMap> links = registry_.links();
    builder_.prepare(w, *links);
    std::chrono::steady_clock::duration building{};  // of the tick, the lines' making (the rest: handing them over)
    for (const auto& s : sessions_) {
        if (s->state() != Session::State::ready) continue;
        const Player* listener = nullptr;
        auto player = links->player_of_client.find(s->client_id());
        if (player != links->player_of_client.end()) {
            listener = w.find(player->second);
            if (listener && !listener->alive) listener = nullptr;
        }
        const auto build_started = std::chrono::steady_clock::now();
        const size_t left_out = builder_.line_for(listener, &line_);
        building += std::chrono::steady_clock::now() - build_started;
        s->left_out += left_out;
        metrics_.speakers_left_out += left_out;
        line_.push_back('\n');
        s->send_update(&line_);
    }
    metrics_.ticks++;
    const auto took = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count());
    metrics_.last_tick_us = took;
    metrics_.last_tick_build_us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(building).count());
    if (world && world != last_sent_world_) {
        // The first tick of a newly posted world: from its post to its last
        // line handed to the sockets.
        last_sent_world_ = world;
        metrics_.post_to_sent_us = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(time_.now() - world->posted).count());
        metrics_.worlds_sent++;
    }
    metrics_.tick_us_total += took;
    if (took > metrics_.max_tick_us.load()) metrics_.max_tick_us = took;

    // A steady rate: the next tick is one period after this one was due,
    // unless the loop fell behind by more than that.
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / config_.rate_hz));
    next_tick_ += period;
    if (next_tick_ < std::chrono::steady_clock::now()) next_tick_ = std::chrono::steady_clock::now() + period;
    tick_timer_.expires_at(next_tick_);
    tick_timer_.async_wait([this](const asio::error_code& ec) {
        if (!ec) tick();
    });
}

void PluginListener::sweep() {
    if (stopped_) return;
    const TimePoint now = time_.now();
    for (const auto& s : sessions_) s->check_deadlines(now, limits_);
    sweep_timer_.expires_after(kSweepEvery);
    sweep_timer_.async_wait([this](const asio::error_code& ec) {
        if (!ec) sweep();
    });
}

std::vector<ClientStatus> PluginListener::status() const {
    std::vector<ClientStatus> out;
    auto links = registry_.links();
    for (const auto& [id, s] : by_client_) {
        ClientStatus c;
        c.client_id = id;
        auto p = links->player_of_client.find(id);
        if (p != links->player_of_client.end()) c.player = p->second;
        c.address = s->address();
        c.lines = s->updates_sent();
        c.lines_replaced = s->updates_replaced();
        c.speakers_left_out = s->left_out;
        out.push_back(std::move(c));
    }
    std::sort(out.begin(), out.end(),
              [](const ClientStatus& a, const ClientStatus& b) { return a.client_id < b.client_id; });
    return out;
}

}  // namespace server
