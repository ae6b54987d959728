#include "audio_output.h"

#include <algorithm>
#include <cmath>

#include "voice.h"

void AudioOutput::run(const PluginLib& plugin, std::vector<Talker>* talkers, uint32_t blocks,
                      std::chrono::steady_clock::time_point start, double speed) {
    plugin_ = &plugin;
    talkers_ = talkers;
    blocks_ = blocks;
    start_ = start;
    speed_ = speed;
    // Everything the thread writes is allocated up front.
    mix_.assign(static_cast<size_t>(blocks) * kBlockFrames * 2, 0.0f);
    rows_.clear();
    rows_.reserve(static_cast<size_t>(blocks) * talkers->size());
    thread_ = std::thread([this] { loop(); });
}

void AudioOutput::join() {
    if (thread_.joinable()) thread_.join();
}

void AudioOutput::loop() {
    std::vector<float> in(kBlockFrames * 2), out(kBlockFrames * 2);
    std::vector<uint64_t> played(talkers_->size(), 0);  // frames of each talker's loop so far
    for (uint32_t n = 0; n < blocks_; ++n) {
        double t = n * 0.01;
        std::this_thread::sleep_until(
            start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(t / speed_)));
        float* mix = mix_.data() + static_cast<size_t>(n) * kBlockFrames * 2;
        for (size_t u = 0; u < talkers_->size(); ++u) {
            Talker& who = (*talkers_)[u];
            if (!who.present.load() || who.voice.empty()) continue;
            uint64_t loop_len = who.voice.size() + who.pause_frames;
            uint64_t pos = played[u] % loop_len;
            played[u] += kBlockFrames;
            if (pos >= who.voice.size()) continue;  // between takes: not talking
            // Decoded speech reaches plug-ins as stereo: the mono voice on both channels.
            float peak = 0, energy = 0;
            for (uint32_t i = 0; i < kBlockFrames; ++i) {
                float s = pos + i < who.voice.size() ? who.voice[pos + i] : 0.0f;
                in[2 * i] = in[2 * i + 1] = out[2 * i] = out[2 * i + 1] = s;
                energy += s * s;
                peak = std::max(peak, std::fabs(s));
            }
            // The level is read at the block's last frame, where a ramp to a
            // new level has ended. Any sample there that is not zero gives
            // it (a product of floats keeps its factor to the last bit);
            // a block without sound tells nothing.
            const size_t last = kBlockFrames - 1;
            if (plugin_->onAudioSourceFetched)
                plugin_->onAudioSourceFetched(out.data(), kBlockFrames, 2, kHostRate, true, who.session);
            for (uint32_t i = 0; i < kBlockFrames * 2; ++i) mix[i] += out[i];
            LevelRow r{t, who.session, peak > 1e-4f && std::isnormal(in[2 * last]), 0, 0, energy};
            if (r.measured) {
                r.left = out[2 * last] / in[2 * last];
                r.right = out[2 * last + 1] / in[2 * last + 1];
                who.last_left.store(r.left);
                who.last_right.store(r.right);
                who.measured_blocks.fetch_add(1);
            }
            rows_.push_back(r);
        }
        if (plugin_->onAudioOutputAboutToPlay) plugin_->onAudioOutputAboutToPlay(mix, kBlockFrames, 2, kHostRate);
    }
}
