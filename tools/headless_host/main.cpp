// headless_host: drives the built plug-in the way the voice client does,
// without a voice client: it loads the library, enables it, connects to a
// scripted voice server whose users talk, and records what the listener
// hears. Two ways to run it (--help says more):
//
//   headless_host --server HOST:PORT --key-file FILE --cast CAST [...]
//       against a falloff server of one's own: a private copy of the
//       plug-in with an ini naming that server and key, removed afterwards
//   headless_host --library DIR/quorra_link.so --cast CAST [...]
//       with the ini (if any) beside that library, as the demo runs it
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "private_plugin_copy.h"
#include "session.h"
#include "testkit/test_os.h"

namespace pt = test_os;

namespace {
const char* const kAbout =
    "Drives the built plug-in as the voice client would, without one: loads it, enables it, joins a\n"
    "scripted voice server whose users talk (the cast file), and reports what the plug-in did to each\n"
    "speaker's voice.\n"
    "\n"
    "Against your own falloff server:\n"
    "  headless_host --server HOST:PORT --key-file FILE --cast CAST [--seconds S]\n"
    "The plug-in runs from a private copy with an ini naming that server and key (the key from\n"
    "--key-file FILE, else the environment's QL_API_KEY, else --key KEY, which other users see in ps).\n"
    "The listener's certificate hash in the cast is the ClientId of the HELLO; a creature is heard\n"
    "once your server sends its hash. Every --every seconds (default 1 here) a line shows the gain\n"
    "and pan applied to each speaker; the summary at the end has each one's last, loudest and range.\n"
    "\n"
    "The cast file, one user per line (# starts a comment):\n"
    "  <role> <name> <certificate hash> <voice WAV or -> [<joins at s> [<changes channel at s>]]\n"
    "role: listener (the local player, exactly one), creature (a player your server knows) or\n"
    "bystander (on the voice server, not in the game). Voice paths are relative to the cast file;\n"
    "'-' (or --synthetic) gives a generated voice.\n"
    "\n"
    "Exit status: 0 done; 1 the plug-in could not be run, or with --server no update reached it;\n"
    "2 bad arguments; 3 the plug-in left host allocations unfreed.";

void print_summary(const SessionReport& r, const SessionOptions& o) {
    std::printf("\n== summary\n");
    std::printf("link code typed after !verify: %s\n", r.link_code.empty() ? "(none shown)" : r.link_code.c_str());
    std::printf("speakers (talking time, audible time, loudest gain, pan range, last level applied):\n");
    for (const SpeakerSummary& s : r.speakers) {
        std::string last = "never measured";
        if (s.measured) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "last gain %.2f pan %+.2f", s.last_gain, s.last_pan);
            last = buf;
        }
        if (s.audible_s > 0) {
            std::printf("  %-10s %-9s talked %5.1fs, heard %5.1fs, peak gain %.2f, pan %+.2f .. %+.2f, %s\n",
                        s.name.c_str(), s.role.c_str(), s.talking_s, s.audible_s, s.peak_gain, s.min_pan, s.max_pan,
                        last.c_str());
        } else {
            std::printf("  %-10s %-9s talked %5.1fs, never heard\n", s.name.c_str(), s.role.c_str(), s.talking_s);
        }
    }
    std::printf("updates received by the plug-in: %d\n", r.updates);
    std::printf("connections to the falloff server: %d (%d reconnect%s)\n", r.connects,
                r.connects > 0 ? r.connects - 1 : 0, r.connects == 2 ? "" : "s");
    if (r.leaked) std::printf("host allocations the plug-in never freed: %zu\n", r.leaked);
    if (!o.out_wav.empty()) std::printf("listener's audio: %s\n", o.out_wav.c_str());
    if (!o.levels.empty()) std::printf("applied levels:   %s\n", o.levels.c_str());
}
}  // namespace

int main(int argc, char** argv) {
    SessionOptions o;
    std::string server, key_arg, key_file;
    CLI::App app(kAbout, "headless_host");
    app.get_formatter()->column_width(26);
    app.add_option("--server", server, "HOST:PORT of your falloff server ([IPv6]:PORT); runs a private copy of the plug-in");
    CLI::Option* key_opt = app.add_option("--key", key_arg, "the server's key (visible in ps: prefer --key-file)");
    app.add_option("--key-file", key_file, "file whose first line is the server's key");
    app.add_option("--library", o.library, "the plug-in (default: quorra_link beside this program)");
    app.add_option("--cast", o.cast, "the cast file: who is on the voice server")->required();
    app.add_option("--seconds", o.seconds, "simulated time to run")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--every", o.every, "print the applied levels every S simulated seconds (0: never; default 1 with --server)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--wav", o.out_wav, "write what the listener hears (stereo WAV)");
    app.add_option("--levels", o.levels, "write the gain and pan applied per block (CSV)");
    app.add_option("--speed", o.speed, "simulated seconds per wall-clock second")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--epoch-ms", o.epoch_ms, "wall-clock start of simulated time, ms since 1970 (as the reference server's)");
    app.add_flag("--synthetic", o.synthetic, "generated voices instead of the cast's WAV files");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    PrivatePluginCopy private_dir;
    if (o.library.empty()) o.library = pt::join(pt::exe_dir(), pt::library_file_name("quorra_link"));
    if (!server.empty()) {
        ServerTarget target;
        std::string error, copy;
        if (!split_server_address(server, &target, &error) ||
            !take_api_key(key_arg, key_opt->count() > 0, key_file, &target.key, &error)) {
            std::fprintf(stderr, "headless_host: %s\n", error.c_str());
            return 2;
        }
        if (!private_dir.make(o.library, target, &copy, &error)) {
            std::fprintf(stderr, "headless_host: %s\n", error.c_str());
            return 1;
        }
        // The environment would override the ini's server.
        for (const char* name : {"QUORRA_LINK_HOST", "QUORRA_LINK_PORT"}) {
            if (std::getenv(name)) std::printf("headless_host: %s from the environment ignored: --server names the server\n", name);
            pt::env_set(name, nullptr);
        }
        std::printf("headless_host: the plug-in (a copy of %s) speaks to %s, port %s\n", o.library.c_str(),
                    target.host.c_str(), target.port.c_str());
        o.library = copy;
        if (o.every == 0 && app.count("--every") == 0) o.every = 1;
    } else if (key_opt->count() > 0 || !key_file.empty()) {
        std::fprintf(stderr, "headless_host: a key goes with --server; without it the plug-in reads the ini beside --library\n");
        return 2;
    }

    SessionReport report;
    int rc = run_session(o, &report);
    if (rc != 0) return rc;
    print_summary(report, o);
    if (report.leaked) return 3;
    if (!server.empty() && report.updates == 0) {
        std::printf("no update reached the plug-in: see the log window's lines above for why\n");
        return 1;
    }
    return 0;
}
