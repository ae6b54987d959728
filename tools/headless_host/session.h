// One run of the headless host: the plug-in enabled the way the host
// enables it, a scripted server connection with its users and events, and
// an audio output thread that hands every talking user's 10 ms stereo
// blocks to the plug-in and mixes what comes back.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A line of the cast file:
//   <role> <name> <hash> <voice WAV or -> [<joins at s> [<changes channel at s>]]
// role is "listener" (the local user; exactly one), "creature" (a remote
// user whose creature the falloff server knows) or "bystander" (a remote
// user the game does not know). Voice paths are relative to the cast file.
struct CastMember {
    std::string role, name, hash, voice;
    double joins_at = 0;
    double moves_at = -1;  // < 0: stays in the root channel
    uint32_t session = 0;  // given in file order from 1
};
bool read_cast(const std::string& path, std::vector<CastMember>* cast, std::string* error);

struct SessionOptions {
    std::string library;   // the plug-in, in its plug-in directory
    std::string cast;
    std::string out_wav;   // what the listener hears
    std::string levels;    // CSV of the gain and pan applied per block
    double seconds = 24;   // simulated time
    double speed = 1;      // simulated seconds per wall-clock second
    long long epoch_ms = 0;  // wall-clock start of simulated time; 0: now
    bool synthetic = false;  // ignore the voice files
    double every = 0;        // > 0: print the levels applied to each speaker this often (simulated s)
};

struct SpeakerSummary {
    std::string name, role;
    double talking_s = 0, audible_s = 0, peak_gain = 0, min_pan = 0, max_pan = 0;
    double last_gain = 0, last_pan = 0;  // of the speaker's last measured block
    bool measured = false;               // any block had sound to measure the levels on
};

struct SessionReport {
    std::vector<SpeakerSummary> speakers;
    std::string link_code;
    int connects = 0;          // "connected to falloff" lines in the log window
    int updates = 0;           // updates the plug-in logged as received
    size_t leaked = 0;         // host allocations never freed by the plug-in
};

// Returns 0 on success; prints the host's progress and the log window.
int run_session(const SessionOptions& o, SessionReport* report);
