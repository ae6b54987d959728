#include "server/chat_command.h"

#include <cctype>

namespace server {

std::optional<std::string> verify_code_of(const std::string& text) {
    static const std::string kCommand = "!verify";
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text.size() - start < kCommand.size()) return std::nullopt;
    for (size_t i = 0; i < kCommand.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[start + i])) != kCommand[i]) return std::nullopt;
    const size_t after = start + kCommand.size();
    if (after < text.size() && text[after] != ' ' && text[after] != '\t') return std::nullopt;  // "!verifying"
    const size_t code_at = text.find_first_not_of(" \t", after);
    if (code_at == std::string::npos) return std::string();
    const size_t code_end = text.find_first_of(" \t", code_at);
    return text.substr(code_at, code_end == std::string::npos ? std::string::npos : code_end - code_at);
}

std::string normalise_code(const std::string& code) {
    if (code.size() < 8 || code.size() > 127) return "";
    std::string out = code;
    for (char& c : out) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
    }
    return out;
}

}  // namespace server
