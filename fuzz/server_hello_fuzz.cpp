// Whatever bytes a plug-in sends the falloff server: cut into lines as the
// server's reader cuts them (at line feeds, carriage returns removed, a line
// past the longest it takes ends the connection), the first line checked as
// a greeting, the rest read as a PING or as a "!verify" typed in chat would
// be. The answers must be "OK" or a single "ERR ..." line, and an accepted
// client id a lower-case hexadecimal one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/hello.h"
#include "server/chat_command.h"

namespace {
constexpr size_t kMaxLine = 4096;  // as the server's session limits

void check_greeting(const std::string& line) {
    static const std::vector<std::string> keys{"the-current-key", "the-previous-key"};
    const server::GreetingCheck g = server::check_hello(line, keys, line.size() % 2 ? "0.1.0" : "");
    if (g.accepted != (g.reply == "OK")) std::abort();
    if (!g.accepted && g.reply.rfind("ERR ", 0) != 0) std::abort();
    if (g.reply.find('\n') != std::string::npos || g.reply.find('\r') != std::string::npos) std::abort();
    if (g.accepted) {
        if (g.client_id.empty()) std::abort();
        for (char c : g.client_id)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    bool first = true;
    while (at < bytes.size()) {
        const size_t lf = bytes.find('\n', at);
        if (lf == std::string::npos || lf - at + 1 > kMaxLine) break;  // the connection would end
        std::string line = bytes.substr(at, lf - at);
        at = lf + 1;
        std::erase(line, '\r');
        if (first) {
            check_greeting(line);
            first = false;
            continue;
        }
        const std::optional<std::string> code = server::verify_code_of(line);
        if (code) {
            const std::string normal = server::normalise_code(*code);
            if (!normal.empty() && (normal.size() < 8 || normal.size() > 127)) std::abort();
        }
    }
    return 0;
}
