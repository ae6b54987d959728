#include "falloff/protocol.h"

#include <cstdio>
#include <cstring>

#include "common/version.h"

size_t format_hello(char* out, size_t cap, const char* api_key, const char* client_id) {
    int n = std::snprintf(out, cap,
                          "HELLO %s %s "
                          "{\"version\":\"1.0\",\"client\":\"tolvanrix\",\"build\":\"" QL_VERSION_BUILD "\","
                          "\"features\":[\"spatial\"]}\n",
                          api_key, client_id);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

bool hello_accepted(const char* reply) { return reply[0] == 'O' && reply[1] == 'K'; }

LineKind classify_line(const char* line, const char** payload) {
    if (std::strcmp(line, "PING") == 0) return LineKind::ping;
    if (std::strncmp(line, "UPDATE", 6) != 0) return LineKind::ignored;
    // No blank is needed after the keyword: "UPDATEabc 0.5" lists abc.
    if (line[6] == '2') {
        *payload = line + 7;
        return LineKind::update2;
    }
    *payload = line + 6;
    return LineKind::update;
}
