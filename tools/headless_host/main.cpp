// headless_host: drives the built plug-in the way the voice client does,
// without a voice client: it loads the library, enables it, connects to a
// scripted server whose users talk, and records what the listener hears.
//
//   headless_host --library DIR/quorra_link.so --cast CAST
//                 [--wav OUT.wav] [--levels OUT.csv] [--seconds S]
//                 [--speed X] [--epoch-ms MS] [--synthetic]
//
// The plug-in reads quorra_link.ini from the library's own directory, so
// the library given here should be a copy in a directory of its own. The
// cast file is described in session.h. --epoch-ms and --speed place the
// simulated clock as the falloff server's simulation does, so both agree on
// what time it is.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "session.h"

namespace {
void print_summary(const SessionReport& r, const SessionOptions& o) {
    std::printf("\n== summary\n");
    std::printf("link code typed after !verify: %s\n", r.link_code.empty() ? "(none shown)" : r.link_code.c_str());
    std::printf("speakers (talking time, audible time, loudest gain, pan range):\n");
    for (const SpeakerSummary& s : r.speakers) {
        if (s.audible_s > 0) {
            std::printf("  %-10s %-9s talked %5.1fs, heard %5.1fs, peak gain %.2f, pan %+.2f .. %+.2f\n",
                        s.name.c_str(), s.role.c_str(), s.talking_s, s.audible_s, s.peak_gain, s.min_pan, s.max_pan);
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
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--library" && more) o.library = argv[++i];
        else if (a == "--cast" && more) o.cast = argv[++i];
        else if (a == "--wav" && more) o.out_wav = argv[++i];
        else if (a == "--levels" && more) o.levels = argv[++i];
        else if (a == "--seconds" && more) o.seconds = std::atof(argv[++i]);
        else if (a == "--speed" && more) o.speed = std::atof(argv[++i]);
        else if (a == "--epoch-ms" && more) o.epoch_ms = std::atoll(argv[++i]);
        else if (a == "--synthetic") o.synthetic = true;
        else {
            o.library.clear();
            break;
        }
    }
    if (o.library.empty() || o.cast.empty() || o.seconds <= 0) {
        std::fprintf(stderr,
                     "usage: %s --library PLUGIN --cast CAST [--wav OUT.wav] [--levels OUT.csv]\n"
                     "       [--seconds S] [--speed X] [--epoch-ms MS] [--synthetic]\n",
                     argv[0]);
        return 2;
    }
    SessionReport report;
    int rc = run_session(o, &report);
    if (rc != 0) return rc;
    print_summary(report, o);
    return report.leaked ? 3 : 0;
}
