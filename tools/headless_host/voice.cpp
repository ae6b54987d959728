#include "voice.h"

#include <algorithm>
#include <cmath>

#include <sndfile.h>

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr float kTargetRms = 0.1f;

std::vector<float> resample(const std::vector<float>& in, uint32_t rate) {
    if (rate == kHostRate || in.size() < 2) return in;
    size_t n = static_cast<size_t>(static_cast<double>(in.size()) * kHostRate / rate);
    std::vector<float> out(n);
    double step = static_cast<double>(rate) / kHostRate;
    for (size_t i = 0; i < n; ++i) {
        double pos = i * step;
        size_t k = std::min(static_cast<size_t>(pos), in.size() - 2);
        double frac = pos - static_cast<double>(k);
        out[i] = static_cast<float>(in[k] * (1 - frac) + in[k + 1] * frac);
    }
    return out;
}

void trim_and_level(std::vector<float>* v) {
    auto loud = [](float s) { return std::fabs(s) > 1e-3f; };
    auto first = std::find_if(v->begin(), v->end(), loud);
    auto last = std::find_if(v->rbegin(), v->rend(), loud).base();
    if (first >= last) {
        v->clear();
        return;
    }
    *v = std::vector<float>(first, last);
    double sum = 0;
    for (float s : *v) sum += static_cast<double>(s) * s;
    double rms = std::sqrt(sum / static_cast<double>(v->size()));
    float k = static_cast<float>(kTargetRms / rms);
    for (float& s : *v) s = std::clamp(s * k, -1.0f, 1.0f);
}
}  // namespace

bool load_voice(const std::string& path, std::vector<float>* mono, std::string* error) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        *error = path + ": not a WAV file";
        return false;
    }
    // Integer samples come normalised to [-1, 1); the channels are averaged.
    const size_t channels = static_cast<size_t>(info.channels);
    std::vector<float> v, block(4096 * channels);
    for (sf_count_t n; (n = sf_readf_float(f, block.data(), 4096)) > 0;) {
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            float sum = 0;
            for (size_t c = 0; c < channels; ++c) {
                float x = block[i * channels + c];
                sum += std::isfinite(x) ? x : 0.0f;
            }
            v.push_back(sum / static_cast<float>(channels));
        }
    }
    sf_close(f);
    if (v.empty() || info.samplerate <= 0) {
        *error = path + ": no audio in the file";
        return false;
    }
    v = resample(v, static_cast<uint32_t>(info.samplerate));
    trim_and_level(&v);
    if (v.empty()) {
        *error = path + ": the file is silent";
        return false;
    }
    *mono = std::move(v);
    return true;
}

std::vector<float> synthetic_voice(int index) {
    // Pitches without small common multiples, so no two voices share partials.
    static const double kPitch[] = {113, 149, 197, 241, 283, 331};
    static const double kVowels[][2] = {{700, 1200}, {400, 2000}, {300, 900}, {550, 1700}, {350, 2300}};
    double f0 = kPitch[index % 6];
    const double syllable = 0.22, gap = 0.06;
    const int syllables = 11;
    size_t n = static_cast<size_t>(syllables * (syllable + gap) * kHostRate);
    std::vector<float> v(n);
    double phase = 0;
    for (size_t i = 0; i < n; ++i) {
        double t = static_cast<double>(i) / kHostRate;
        int s = static_cast<int>(t / (syllable + gap));
        double in_syl = t - s * (syllable + gap);
        // Raised-cosine syllable envelope over a floor, so every block of the
        // phrase carries some sound.
        double env = 0.08;
        if (in_syl < syllable) env += 0.92 * std::sin(kPi * in_syl / syllable);
        const double* vowel = kVowels[(s * 3 + index) % 5];
        double f = f0 * (1 + 0.03 * std::sin(2 * kPi * 4.5 * t) - 0.08 * in_syl);
        phase += 2 * kPi * f / kHostRate;
        double sum = 0;
        for (int h = 1; h * f < 3500; ++h) {
            double fh = h * f;
            double w = 0;
            for (int k = 0; k < 2; ++k) w += 1 / (1 + std::pow((fh - vowel[k]) / 120, 2));
            sum += w / h * std::sin(h * phase);
        }
        v[i] = static_cast<float>(env * sum);
    }
    trim_and_level(&v);
    return v;
}

bool write_stereo_wav(const std::string& path, const std::vector<float>& s, uint32_t rate) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    // Clipped at full scale as the host's mixer does; 1.0 is 32767.
    std::vector<short> pcm(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        pcm[i] = static_cast<short>(std::lround(std::clamp(s[i], -1.0f, 1.0f) * 32767.0f));
    const sf_count_t frames = static_cast<sf_count_t>(s.size() / 2);
    const bool written = sf_writef_short(f, pcm.data(), frames) == frames;
    return sf_close(f) == 0 && written;
}
