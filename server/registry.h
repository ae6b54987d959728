// The links registry: which voice clients are connected, which player each
// is linked to (kept in the store), and link codes typed before their client
// connected (kept 10 minutes). "!verify CODE" links a player to the one
// connected client whose id begins with CODE, letter case ignored. Called
// from the ingest's threads and the plug-in listener's, so every call takes
// the registry's lock; the tick reads the links through snapshots.
#pragma once
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/chat_command.h"
#include "server/clock.h"
#include "server/links.h"
#include "server/log.h"
#include "server/store.h"

namespace server {

struct VerifyResult {
    bool linked = false;
    bool pending = false;  // kept until the client connects
    bool failed = false;   // the store could not keep it
    std::string client_id;
    std::string reason;
};

class Registry {
public:
    static constexpr std::chrono::minutes kPendingLife{10};

    Registry(LinkStore& store, const TimeSource& time, Log& log);
    bool load(std::string* error);  // the links the store holds

    // "!verify CODE" typed by player_id.
    VerifyResult verify(const std::string& player_id, const std::string& code);
    // DELETE of a player's link; false when the store failed (error says why).
    bool unlink(const std::string& player_id, bool* removed, std::string* error);

    // A client greeted (client_id in lower case). Returns the player it was
    // linked to now by a waiting code, or an empty text.
    std::string client_connected(const std::string& client_id);
    void client_gone(const std::string& client_id);

    std::shared_ptr<const LinkMap> links() const;
    size_t pending_codes() const;

private:
    struct Pending {
        std::string player_id;
        TimePoint expires;
        uint64_t order;  // later codes win
    };
    // Under m_: stores the link, then publishes a new snapshot.
    bool link_locked(const std::string& player_id, const std::string& client_id, std::string* error);
    void drop_expired_locked();

    LinkStore& store_;
    const TimeSource& time_;
    Log& log_;
    mutable std::mutex m_;
    std::unordered_map<std::string, int> connected_;  // client id -> connections (2 while one replaces another)
    std::map<std::string, Pending> pending_;           // by code
    uint64_t pending_order_ = 0;
    std::shared_ptr<const LinkMap> links_;
};


}  // namespace server
