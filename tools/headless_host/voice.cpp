#include "voice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr float kTargetRms = 0.1f;

uint32_t le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// One sample of the given encoding, as a float in [-1, 1].
float decode(const unsigned char* p, int bits, bool is_float) {
    if (is_float) {
        float f;
        std::memcpy(&f, p, 4);
        return std::isfinite(f) ? f : 0.0f;
    }
    switch (bits) {
        case 8: return (static_cast<int>(p[0]) - 128) / 128.0f;
        case 16: return static_cast<int16_t>(le(p, 2)) / 32768.0f;
        case 24: return static_cast<int32_t>(le(p, 3) << 8) / 2147483648.0f;
        default: return static_cast<int32_t>(le(p, 4)) / 2147483648.0f;
    }
}

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

void put16(std::string* out, uint32_t v) {
    out->push_back(static_cast<char>(v & 0xff));
    out->push_back(static_cast<char>((v >> 8) & 0xff));
}
void put32(std::string* out, uint32_t v) {
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}
}  // namespace

bool load_voice(const std::string& path, std::vector<float>* mono, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) {
        *error = path + ": not a WAV file";
        return false;
    }
    int channels = 0, bits = 0;
    uint32_t rate = 0;
    bool is_float = false;
    const unsigned char* data = nullptr;
    size_t data_len = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t len = le(b + at + 4, 4);
        size_t avail = std::min<size_t>(len, bytes.size() - at - 8);
        if (std::memcmp(b + at, "fmt ", 4) == 0 && avail >= 16) {
            uint32_t format = le(b + at + 8, 2);
            if (format == 0xFFFE && avail >= 26) format = le(b + at + 32, 2);  // extensible
            channels = static_cast<int>(le(b + at + 10, 2));
            rate = le(b + at + 12, 4);
            bits = static_cast<int>(le(b + at + 22, 2));
            is_float = format == 3;
            if ((format != 1 && format != 3) || (is_float && bits != 32) || bits % 8 || bits < 8 || bits > 32) {
                *error = path + ": unsupported sample format";
                return false;
            }
        } else if (std::memcmp(b + at, "data", 4) == 0) {
            data = b + at + 8;
            data_len = avail;  // a writer that streamed may leave the length unset
            break;
        }
        at += 8 + len + (len & 1);
    }
    if (!data || channels < 1 || rate == 0) {
        *error = path + ": no audio in the file";
        return false;
    }
    size_t frame = static_cast<size_t>(channels) * static_cast<size_t>(bits / 8);
    std::vector<float> v(data_len / frame);
    for (size_t i = 0; i < v.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) sum += decode(data + i * frame + c * (bits / 8), bits, is_float);
        v[i] = sum / static_cast<float>(channels);
    }
    v = resample(v, rate);
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
    std::string out;
    uint32_t data_len = static_cast<uint32_t>(s.size() * 2);
    out += "RIFF";
    put32(&out, 36 + data_len);
    out += "WAVEfmt ";
    put32(&out, 16);
    put16(&out, 1);  // PCM
    put16(&out, 2);
    put32(&out, rate);
    put32(&out, rate * 4);
    put16(&out, 4);
    put16(&out, 16);
    out += "data";
    put32(&out, data_len);
    out.reserve(out.size() + data_len);
    for (float x : s) {
        float c = std::clamp(x, -1.0f, 1.0f);
        put16(&out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(c * 32767.0f))));
    }
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(out.data(), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(f);
}
