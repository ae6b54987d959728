// The links between game players and voice clients, kept in SQLite (WAL,
// synchronous FULL, one transaction per change): a link is on disk before
// the game side is told "linked", so neither a restart nor a kill loses it.
// A client is linked to one player and a player to one client; the full
// client id is the key, in lower case.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace server {

struct Link {
    std::string player_id;
    std::string client_id;
};

class LinkStore {
public:
    // Opens or creates the file; null with the reason in error.
    static std::unique_ptr<LinkStore> open(const std::string& path, std::string* error);
    ~LinkStore();
    LinkStore(const LinkStore&) = delete;
    LinkStore& operator=(const LinkStore&) = delete;

    bool load(std::vector<Link>* out, std::string* error);
    // Links the pair, ending any other link of the player or of the client.
    bool put(const Link& link, int64_t linked_at_ms, std::string* error);
    // *removed: whether the player had a link.
    bool remove_player(const std::string& player_id, bool* removed, std::string* error);

private:
    explicit LinkStore(sqlite3* db) : db_(db) {}
    bool exec(const char* sql, std::string* error);
    sqlite3* db_;
};

}  // namespace server
