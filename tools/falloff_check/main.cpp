// falloff_check: the command line. Exit status: 0 no error found (with
// --strict: no finding at all), 1 one found, 2 the check could not run.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "check.h"

namespace {
// The key's environment variable: a key there stays out of the process
// list and the shell's history.
constexpr char kKeyVariable[] = "FALLOFF_CHECK_KEY";

constexpr char kDescription[] =
    "Speaks to a falloff server as the plug-in does (its HELLO, its PING, its answer to PING) for a while,\n"
    "cuts and parses every line with the plug-in's own code, and tells what the plug-in would apply and what\n"
    "in the server's lines it would drop, clamp or ignore.\n";

constexpr char kFooter[] =
    "\nThe key: --key KEY shows it to every user of the machine (the process list) and keeps it in the\n"
    "shell's history; --key-file FILE (its first line) or the variable FALLOFF_CHECK_KEY do not, and are\n"
    "the safer choice.\n"
    "Exit status: 0 no finding is an error (with --strict: no finding at all), 1 one is, 2 the check could\n"
    "not run (bad arguments, a name that does not resolve, no connection within 10 s).\n"
    "Findings and the JSON output: docs/server-operators.md, \"Checking your server\".\n";

int failed(const std::string& why) {
    std::fprintf(stderr, "falloff_check: %s\n(falloff_check --help tells the options)\n", why.c_str());
    return 2;
}

// The key file's first line, without its line end.
bool read_key_file(const std::string& path, std::string* key) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::getline(f, *key);
    if (!key->empty() && key->back() == '\r') key->pop_back();
    return !f.bad();
}
}  // namespace

int main(int argc, char** argv) {
    CheckOptions o;
    uint16_t port = 0;
    uint32_t seconds = 15;
    std::string key_file;
    bool json = false, strict = false;

    CLI::App app(kDescription, "falloff_check");
    app.footer(kFooter);
    app.add_option("--host", o.host, "the falloff server's name or address")->required();
    app.add_option("--port", port, "its TCP port")->required()->check(CLI::Range(1, 65535));
    CLI::Option* key = app.add_option("--key", o.key, "the shared key (visible to other users: see below)");
    CLI::Option* file = app.add_option("--key-file", key_file, "a file whose first line is the key");
    key->excludes(file);
    app.add_option("--id", o.id, "the ClientId in the HELLO (hexadecimal; default " + std::string(kCheckId) + ")")
        ->check([](const std::string& v) {
            return !v.empty() && v.size() <= 127 && v.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos
                       ? std::string()
                       : std::string("1 to 127 hexadecimal digits");
        });
    app.add_option("--seconds", seconds, "how long the run lasts, greeting included")
        ->default_val(15)
        ->check(CLI::Range(1, 86400));
    app.add_option("--min-speakers", o.min_speakers, "an error unless some update names at least N speakers")
        ->check(CLI::Range(0, 512));
    app.add_option("--clients", o.clients,
                   "N connections at once, greeting one after the other, each with its own id (see --same-id)")
        ->default_val(1)
        ->check(CLI::Range(1, 64));
    app.add_flag("--stalled-client", o.stalled_client,
                 "one more connection that greets last and then never reads: does the server keep serving "
                 "the others?");
    app.add_flag("--same-id", o.same_id,
                 "every connection (at least two) greets with the same id, as a player's reconnect does");
    app.add_flag("--json", json, "one JSON object instead of the text");
    app.add_flag("--strict", strict, "warnings fail the check too");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        return failed(e.what());
    }

    if (!key_file.empty() && !read_key_file(key_file, &o.key)) return failed("--key-file " + key_file + " cannot be read");
    if (!key->count() && key_file.empty()) {
        const char* env = std::getenv(kKeyVariable);
        if (!env) return failed("the key is needed: --key-file FILE, the variable FALLOFF_CHECK_KEY, or --key KEY");
        o.key = env;
    }
    // The plug-in's own limits: a longer key would be cut from its HELLO, and
    // an empty one keeps it from connecting at all.
    if (o.key.empty() || o.key.size() > 255) return failed("the key takes 1 to 255 characters");
    if (o.host.empty() || o.host.size() > 255) return failed("--host takes 1 to 255 characters");
    if (o.same_id && o.clients < 2) o.clients = 2;  // a second greeting of the id is the point
    o.port = std::to_string(port);
    o.run_ms = seconds * 1000;

    const CheckResult r = run_check(o);
    const std::string out = json ? json_report(o, r) : human_report(o, r);
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!r.ran) return 2;
    return r.has_error() || (strict && !r.findings.empty()) ? 1 : 0;
}
