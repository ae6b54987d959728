// falloff_check --host H --port P --key K [--id HEX] [--seconds N] [--json]
// Exit status: 0 no error found, 1 an error found, 2 the check could not run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check.h"

namespace {
int usage(const char* why) {
    std::fprintf(stderr,
                 "falloff_check: %s\n"
                 "usage: falloff_check --host H --port P --key K [--id HEX] [--seconds N] [--json]\n"
                 "  speaks to a falloff server as the plug-in does for N seconds (default 15) and tells\n"
                 "  what the plug-in would do with what it sends\n",
                 why);
    return 2;
}

bool whole_number(const char* s, unsigned long lo, unsigned long hi, unsigned long* out) {
    char* end = nullptr;
    if (!*s || *s == '-' || *s == '+') return false;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (*end || v < lo || v > hi) return false;
    *out = v;
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    CheckOptions o;
    bool json = false, have_key = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            json = true;
            continue;
        }
        if (a != "--host" && a != "--port" && a != "--key" && a != "--id" && a != "--seconds")
            return usage(("unknown argument " + a).c_str());
        if (i + 1 >= argc) return usage((a + " needs a value").c_str());
        const char* v = argv[++i];
        unsigned long n = 0;
        if (a == "--host") {
            o.host = v;
        } else if (a == "--port") {
            if (!whole_number(v, 1, 65535, &n)) return usage("--port takes 1 to 65535");
            o.port = std::to_string(n);
        } else if (a == "--key") {
            o.key = v;
            have_key = true;
        } else if (a == "--id") {
            o.id = v;
            if (o.id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return usage("--id takes hexadecimal digits");
        } else {
            if (!whole_number(v, 1, 86400, &n)) return usage("--seconds takes 1 to 86400");
            o.run_ms = static_cast<uint32_t>(n) * 1000;
        }
    }
    if (o.host.empty() || o.port.empty() || !have_key) return usage("--host, --port and --key are needed");
    // The plug-in's own limits: a longer key or id would be cut from its HELLO.
    if (o.host.size() > 255 || o.key.size() > 255 || o.id.size() > 127 || o.id.empty())
        return usage("--host and --key take at most 255 characters, --id 1 to 127");

    const CheckResult r = run_check(o);
    const std::string out = json ? json_report(o, r) : human_report(o, r);
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!r.ran) return 2;
    return r.has_error() ? 1 : 0;
}
