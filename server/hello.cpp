#include "server/hello.h"

#include <nlohmann/json.hpp>

#include "common/fields.h"
#include "server/config.h"

namespace server {

namespace {

constexpr size_t kKeyCompareBytes = 256;  // longer than any key the plug-in sends

std::string_view next_word(std::string_view* rest) {
    size_t start = rest->find_first_not_of(' ');
    if (start == std::string_view::npos) {
        *rest = {};
        return {};
    }
    size_t end = rest->find(' ', start);
    if (end == std::string_view::npos) end = rest->size();
    std::string_view word = rest->substr(start, end - start);
    *rest = rest->substr(end);
    return word;
}

bool hex_id(std::string_view id, std::string* lower) {
    if (id.empty() || id.size() >= kClientIdField) return false;
    lower->clear();
    for (char c : id) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        lower->push_back(c);
    }
    return true;
}

// The "build" member of the greeting's JSON, if it has one.
std::string build_of(std::string_view details) {
    nlohmann::json j = nlohmann::json::parse(details, nullptr, false);
    if (!j.is_object()) return "";
    auto b = j.find("build");
    return b != j.end() && b->is_string() ? b->get<std::string>() : "";
}

bool older(const int a[3], const int b[3]) {
    for (int i = 0; i < 3; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

}  // namespace

bool key_matches(std::string_view given, const std::vector<std::string>& keys) {
    unsigned matched = 0;
    for (const std::string& key : keys) {
        unsigned diff = given.size() != key.size() || given.size() > kKeyCompareBytes;
        for (size_t i = 0; i < kKeyCompareBytes; ++i) {
            const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
            const unsigned char b = i < key.size() ? static_cast<unsigned char>(key[i]) : 0;
            diff |= a ^ b;
        }
        matched |= diff == 0;
    }
    return matched != 0;
}

GreetingCheck check_hello(std::string_view line, const std::vector<std::string>& keys,
                          const std::string& min_version) {
    GreetingCheck g;
    std::string_view rest = line;
    const std::string_view word = next_word(&rest);
    const std::string_view key = next_word(&rest);
    const std::string_view id = next_word(&rest);
    const size_t details_at = rest.find_first_not_of(' ');
    const std::string_view details =
        details_at == std::string_view::npos ? std::string_view{} : rest.substr(details_at);
    if (word != "HELLO" || key.empty() || !hex_id(id, &g.client_id)) {
        g.client_id.clear();
        g.reply = "ERR this is a falloff server and did not understand the greeting: update the plug-in";
        g.refusal = "malformed";
        return g;
    }
    g.build = build_of(details);
    if (!key_matches(key, keys)) {
        g.reply = "ERR this server does not know that key";
        g.refusal = "key";
        return g;
    }
    int least[3], have[3];
    if (!min_version.empty() && parse_version(min_version, least)) {
        const bool known = parse_version(g.build, have);
        if (!known || older(have, least)) {
            const std::string shown = known ? std::to_string(have[0]) + "." + std::to_string(have[1]) + "." +
                                                  std::to_string(have[2])
                                            : std::string("of an unknown version");
            g.reply = "ERR plug-in " + shown + " is too old: ask your community for the new bundle";
            g.refusal = "version";
            return g;
        }
    }
    g.accepted = true;
    g.reply = "OK";
    return g;
}

}  // namespace server
