#include "server/ingest.h"

#include <httplib.h>

#include "server/hello.h"

namespace server {

namespace {

using nlohmann::json;

void answer(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& reason) { answer(res, status, {{"error", reason}}); }

// A player id as the game side may send it: a text, or a whole number.
std::optional<std::string> player_id_of(const json& v) {
    if (v.is_string() && !v.get_ref<const std::string&>().empty()) return v.get<std::string>();
    if (v.is_number_unsigned()) return std::to_string(v.get<uint64_t>());
    return std::nullopt;
}

}  // namespace

Ingest::Ingest(const Config& config, Registry& registry, const TimeSource& time, Log& log, IngestHooks hooks)
    : config_(config), registry_(registry), time_(time), log_(log), hooks_(std::move(hooks)),
      http_(std::make_unique<httplib::Server>()) {}

Ingest::~Ingest() { stop(); }

bool Ingest::authorised(const std::string& header) const {
    if (config_.token.empty()) return true;
    static const std::string kBearer = "Bearer ";
    if (header.compare(0, kBearer.size(), kBearer) != 0) return false;
    return key_matches(std::string_view(header).substr(kBearer.size()), {config_.token});
}

bool Ingest::open(std::string* error) {
    routes();
    const ListenAddress& at = config_.ingest_listen;
    const int port =
        at.port == 0 ? http_->bind_to_any_port(at.host) : (http_->bind_to_port(at.host, at.port) ? at.port : -1);
    if (port <= 0) {
        *error = "cannot listen for the game side on " + at.host + ":" + std::to_string(at.port) +
                 " (ingest.listen): in use, or not an address of this machine";
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    return true;
}

void Ingest::start() {
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    // The server's stop() does nothing until it runs: wait for that, so a
    // stop right after the start is not lost.
    for (int i = 0; i < 5000 && !http_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Ingest::stop() {
    if (!thread_.joinable()) return;
    http_->stop();
    thread_.join();
}

void Ingest::routes() {
    httplib::Server& s = *http_;
    s.set_payload_max_length(config_.max_body_bytes);
    s.set_read_timeout(10, 0);
    s.set_write_timeout(10, 0);

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (authorised(req.get_header_value("Authorization"))) return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        refuse(res, 401, "this call needs the header Authorization: Bearer <ingest.token>");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 404) refuse(res, 404, "no such call: " + req.method + " " + req.path);
        else if (res.status == 413) refuse(res, 413, "the body is larger than ingest.max_body_bytes");
        else refuse(res, res.status, "the request could not be served");
    });
    s.set_exception_handler([this](const httplib::Request&, httplib::Response& res, std::exception_ptr e) {
        std::string what = "unknown";
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            what = x.what();
        } catch (...) {
        }
        log_.write("ingest: a call failed: %s", what.c_str());
        refuse(res, 500, "the server failed to handle this call");
    });

    s.Post("/v1/world", [this](const httplib::Request& req, httplib::Response& res) {
        std::string error;
        std::shared_ptr<const World> world = parse_world(req.body, config_, time_.now(), &error);
        if (!world) {
            refuse(res, 400, error + "; the last world stays");
            return;
        }
        const size_t n = world->players.size();
        hooks_.set_world(std::move(world));
        answer(res, 200, {{"players", n}});
    });

    s.Post("/v1/chat", [this](const httplib::Request& req, httplib::Response& res) {
        json body = json::parse(req.body, nullptr, false);
        std::optional<std::string> player;
        if (body.is_object() && body.contains("id")) player = player_id_of(body["id"]);
        if (!player || !body.contains("text") || !body["text"].is_string()) {
            refuse(res, 400, "expected {\"id\": the player's id, \"text\": the line they typed}");
            return;
        }
        const std::optional<std::string> code = verify_code_of(body["text"].get<std::string>());
        if (!code) {
            answer(res, 200, {{"linked", false}});
            return;
        }
        if (code->empty()) {
            answer(res, 200, {{"linked", false},
                              {"reason", "type !verify and the code your voice client shows, like !verify 1f0c2a3b"}});
            return;
        }
        const VerifyResult r = registry_.verify(*player, *code);
        if (r.linked) {
            if (hooks_.metrics) hooks_.metrics->links_made++;
            answer(res, 200, {{"linked", true}, {"client_id", r.client_id}});
            return;
        }
        json out = {{"linked", false}, {"reason", r.reason}};
        if (r.pending) out["pending"] = true;
        answer(res, r.failed ? 500 : 200, out);
    });

    s.Get("/v1/status", [this](const httplib::Request&, httplib::Response& res) {
        std::optional<json> plugins = hooks_.plugin_status();
        if (!plugins) {
            refuse(res, 503, "the plug-in side did not answer in time; try again");
            return;
        }
        json out = std::move(*plugins);
        std::shared_ptr<const World> world = hooks_.world();
        out["players"] = world ? world->players.size() : 0;
        if (world) {
            out["world_age_ms"] =
                std::chrono::duration_cast<std::chrono::milliseconds>(time_.now() - world->posted).count();
        } else {
            out["world_age_ms"] = nullptr;
        }
        out["rate_hz"] = config_.rate_hz;
        out["links"] = registry_.links()->client_of_player.size();
        out["pending_codes"] = registry_.pending_codes();
        answer(res, 200, out);
    });

    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        static const Metrics kNone;
        std::shared_ptr<const World> world = hooks_.world();
        const double age = world ? std::chrono::duration<double>(time_.now() - world->posted).count() : -1.0;
        res.set_content(metrics_page(hooks_.metrics ? *hooks_.metrics : kNone, registry_.links()->client_of_player.size(),
                                     age),
                        "text/plain; version=0.0.4");
    });

    s.Delete(R"(/v1/links/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string player = req.matches[1];
        bool removed = false;
        std::string error;
        if (!registry_.unlink(player, &removed, &error)) {
            log_.write("unlink of player %s not stored: %s", player.c_str(), error.c_str());
            refuse(res, 500, "the server could not store the change: try again");
            return;
        }
        answer(res, 200, {{"unlinked", removed}});
    });
}

}  // namespace server
