// The plug-in's greeting and the server's answer to it, pure:
//   HELLO <key> <client_id> {"version":"1.0","client":"...","build":"0.1.0-alpha",...}
// The answer is "OK" or an "ERR ..." line that the player reads in the
// voice client's log window, so it says in plain words what to do.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace server {

struct GreetingCheck {
    bool accepted = false;
    std::string client_id;  // lower case, when the line had a valid one
    std::string build;      // the plug-in's version as it sent it ("" when absent)
    std::string reply;      // the line to send, without its line feed
    std::string refusal;    // for the log and the counts: "key", "version", "malformed"
};

// min_version: "a.b.c", or empty for any.
GreetingCheck check_hello(std::string_view line, const std::vector<std::string>& keys,
                          const std::string& min_version);

// Whether given is one of keys; its time depends on neither the keys nor
// how much of one matches (every key is compared over 256 bytes).
bool key_matches(std::string_view given, const std::vector<std::string>& keys);

}  // namespace server
