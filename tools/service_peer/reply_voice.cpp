#include "tools/service_peer/reply_voice.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace service_peer {
namespace {

constexpr int kSyllables = 10;
constexpr double kSyllableSeconds = 0.19; // voiced part of a syllable
constexpr double kPauseSeconds = 0.06;    // silence after it
constexpr int kHarmonics = 6;
constexpr double kFullScale = 32767.0;
constexpr double kTwoPi = 2 * std::numbers::pi;

// The loudness of syllable k, between 0.3 and 0.9 of the loudest, stressed and unstressed in turn.
double syllableLevel(int k) { return 0.6 + 0.3 * std::sin(1.9 * k + 0.7); }

// The pitch in Hz at time t: a slow glide with a faster wobble, within 120..220 Hz.
double pitch(double t) { return 170 + 35 * std::sin(kTwoPi * 0.45 * t) + 12 * std::sin(kTwoPi * 2.3 * t + 1.0); }

} // namespace

PcmAudio makeReplyVoice(int sampleRate) {
    const double period = kSyllableSeconds + kPauseSeconds;
    const auto total = static_cast<std::size_t>(std::lround(kSyllables * period * sampleRate));
    PcmAudio voice{sampleRate, std::vector<std::int16_t>(total, 0)};
    double phase = 0;
    for (std::size_t i = 0; i < total; ++i) {
        const double t = double(i) / sampleRate;
        phase = std::fmod(phase + kTwoPi * pitch(t) / sampleRate, kTwoPi);
        const int k = std::min(kSyllables - 1, static_cast<int>(t / period));
        const double within = t - k * period;
        if (within >= kSyllableSeconds) continue;
        // A raised-cosine swell over the voiced part.
        const double swell = std::sin(std::numbers::pi * within / kSyllableSeconds);
        double tone = 0;
        for (int h = 1; h <= kHarmonics; ++h) tone += std::sin(h * phase) / h;
        const double value = 0.4 * tone * swell * swell * syllableLevel(k);
        voice.samples[i] = static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * kFullScale));
    }
    return voice;
}

} // namespace service_peer
