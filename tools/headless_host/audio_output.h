// The host's audio output thread: every 10 ms of simulated time it takes a
// 480-frame stereo block of each remote user who is talking, hands it to
// the plug-in's onAudioSourceFetched, adds the result into the mix and
// notes the per-channel factor the plug-in applied.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "testkit/plugin_lib.h"

constexpr uint32_t kBlockFrames = 480;  // 10 ms at 48 kHz

struct Talker {
    uint32_t session = 0;
    std::string name;
    std::vector<float> voice;  // mono, 48 kHz; looped with a pause between takes
    uint32_t pause_frames = 0;
    std::atomic<bool> present{false};  // joined the server
    // The factors of this user's latest block with sound to measure them
    // on, and how many such blocks there were, for the host's live report.
    std::atomic<float> last_left{0}, last_right{0};
    std::atomic<uint32_t> measured_blocks{0};
};

// One block of one talking user. gain and pan are derived from the left
// and right factors: gain = sqrt(l*l + r*r), pan = (r*r - l*l) / gain^2.
struct LevelRow {
    double t;
    uint32_t session;
    bool measured;      // the input had sound to measure the factors on
    float left, right;  // output / input per channel
    float energy;       // sum of squares of the input, per channel
};

class AudioOutput {
public:
    // start: steady-clock instant of simulated time 0; speed as the session's.
    void run(const PluginLib& plugin, std::vector<Talker>* talkers, uint32_t blocks,
             std::chrono::steady_clock::time_point start, double speed);
    void join();

    const std::vector<float>& mix() const { return mix_; }
    const std::vector<LevelRow>& rows() const { return rows_; }

private:
    void loop();

    const PluginLib* plugin_ = nullptr;
    std::vector<Talker>* talkers_ = nullptr;
    uint32_t blocks_ = 0;
    std::chrono::steady_clock::time_point start_;
    double speed_ = 1;
    std::thread thread_;
    std::vector<float> mix_;
    std::vector<LevelRow> rows_;
};
