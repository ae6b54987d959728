// What a player types in the game's chat to link their voice client:
// "!verify CODE", the code being the beginning of the client's id.
#pragma once
#include <optional>
#include <string>

namespace server {

// "!verify CODE" → CODE (the command's letter case aside); nullopt when the
// text is not a verify command at all, "" when it has no code.
std::optional<std::string> verify_code_of(const std::string& text);

// A code as typed, in lower case; empty when it is not one (8 to 127
// hexadecimal digits).
std::string normalise_code(const std::string& code);

}  // namespace server
