#include "server/registry.h"

#include <vector>

namespace server {

Registry::Registry(LinkStore& store, const TimeSource& time, Log& log)
    : store_(store), time_(time), log_(log), links_(std::make_shared<LinkMap>()) {}

bool Registry::load(std::string* error) {
    std::vector<Link> all;
    if (!store_.load(&all, error)) return false;
    auto map = std::make_shared<LinkMap>();
    for (const Link& l : all) {
        map->client_of_player[l.player_id] = l.client_id;
        map->player_of_client[l.client_id] = l.player_id;
    }
    std::lock_guard<std::mutex> lock(m_);
    links_ = map;
    return true;
}

bool Registry::link_locked(const std::string& player_id, const std::string& client_id, std::string* error) {
    auto same = links_->client_of_player.find(player_id);
    if (same != links_->client_of_player.end() && same->second == client_id) return true;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    if (!store_.put({player_id, client_id}, ms, error)) return false;
    auto map = std::make_shared<LinkMap>(*links_);
    auto old_client = map->client_of_player.find(player_id);
    if (old_client != map->client_of_player.end()) map->player_of_client.erase(old_client->second);
    auto old_player = map->player_of_client.find(client_id);
    if (old_player != map->player_of_client.end()) map->client_of_player.erase(old_player->second);
    map->client_of_player[player_id] = client_id;
    map->player_of_client[client_id] = player_id;
    links_ = map;
    return true;
}

void Registry::drop_expired_locked() {
    const TimePoint now = time_.now();
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.expires <= now) it = pending_.erase(it);
        else ++it;
    }
}

VerifyResult Registry::verify(const std::string& player_id, const std::string& typed) {
    VerifyResult r;
    const std::string code = normalise_code(typed);
    if (code.empty()) {
        r.reason = "that is not a link code: type !verify and the 8 letters and digits your voice client shows";
        return r;
    }
    std::lock_guard<std::mutex> lock(m_);
    drop_expired_locked();
    std::vector<std::string> matches;
    for (const auto& [client, count] : connected_)
        if (client.compare(0, code.size(), code) == 0) matches.push_back(client);
    if (matches.size() > 1) {
        r.reason = "two voice clients share that code, so none was linked: ask an admin";
        log_.write("link refused: code %s typed by player %s matches %zu connected clients", code.c_str(),
                   player_id.c_str(), matches.size());
        return r;
    }
    if (matches.empty()) {
        // Kept for the client's greeting; the player's earlier code goes.
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.player_id == player_id) it = pending_.erase(it);
            else ++it;
        }
        pending_[code] = {player_id, time_.now() + kPendingLife, ++pending_order_};
        r.pending = true;
        r.reason = "no voice client with that code is connected: it links when that client connects in the next "
                   "10 minutes";
        log_.write("link code %s of player %s waits for its client", code.c_str(), player_id.c_str());
        return r;
    }
    std::string error;
    if (!link_locked(player_id, matches[0], &error)) {
        r.failed = true;
        r.reason = "the server could not store the link: try again";
        log_.write("link of player %s to client %s not stored: %s", player_id.c_str(), matches[0].c_str(),
                   error.c_str());
        return r;
    }
    pending_.erase(code);
    r.linked = true;
    r.client_id = matches[0];
    log_.write("linked player %s to client %s", player_id.c_str(), matches[0].c_str());
    return r;
}

bool Registry::unlink(const std::string& player_id, bool* removed, std::string* error) {
    std::lock_guard<std::mutex> lock(m_);
    if (!store_.remove_player(player_id, removed, error)) return false;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.player_id == player_id) it = pending_.erase(it);
        else ++it;
    }
    auto found = links_->client_of_player.find(player_id);
    if (found != links_->client_of_player.end()) {
        auto map = std::make_shared<LinkMap>(*links_);
        map->player_of_client.erase(found->second);
        map->client_of_player.erase(player_id);
        links_ = map;
        *removed = true;
    }
    if (*removed) log_.write("unlinked player %s", player_id.c_str());
    return true;
}

std::string Registry::client_connected(const std::string& client_id) {
    std::lock_guard<std::mutex> lock(m_);
    ++connected_[client_id];
    drop_expired_locked();
    // The latest code typed for this client, if any.
    auto best = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (client_id.compare(0, it->first.size(), it->first) != 0) continue;
        if (best == pending_.end() || it->second.order > best->second.order) best = it;
    }
    if (best == pending_.end()) return "";
    // Another connected client with that code makes it ambiguous: it waits.
    for (const auto& [other, count] : connected_)
        if (other != client_id && other.compare(0, best->first.size(), best->first) == 0) return "";
    const std::string player = best->second.player_id;
    std::string error;
    if (!link_locked(player, client_id, &error)) {
        log_.write("link of player %s to client %s not stored: %s", player.c_str(), client_id.c_str(), error.c_str());
        return "";
    }
    pending_.erase(best);
    log_.write("linked player %s to client %s by the code typed before it connected", player.c_str(),
               client_id.c_str());
    return player;
}

void Registry::client_gone(const std::string& client_id) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = connected_.find(client_id);
    if (it != connected_.end() && --it->second <= 0) connected_.erase(it);
}

std::shared_ptr<const LinkMap> Registry::links() const {
    std::lock_guard<std::mutex> lock(m_);
    return links_;
}

size_t Registry::pending_codes() const {
    std::lock_guard<std::mutex> lock(m_);
    return pending_.size();
}

}  // namespace server
