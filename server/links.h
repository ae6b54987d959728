// Who is linked to whom, as the tick reads it: an immutable snapshot that the
// registry replaces whole on every change.
#pragma once
#include <string>
#include <unordered_map>

namespace server {

struct LinkMap {
    std::unordered_map<std::string, std::string> client_of_player;  // player id -> client id (lower case)
    std::unordered_map<std::string, std::string> player_of_client;
};

}  // namespace server
