#include "tools/service_peer/jaw_track.hpp"

#include <algorithm>
#include <cmath>

namespace service_peer {
namespace {

// Below this level (about -60 dBFS) speech counts as silence.
constexpr double kSilenceLevel = 33.0;

} // namespace

std::size_t keyframeCount(std::size_t sampleCount, int sampleRate) {
    const auto rate = static_cast<std::size_t>(sampleRate);
    return (sampleCount * kKeyframesPerSecond + rate - 1) / rate;
}

std::size_t keyframeStart(std::size_t index, int sampleRate) {
    return index * static_cast<std::size_t>(sampleRate) / kKeyframesPerSecond;
}

std::vector<float> jawTrack(const PcmAudio& speech) {
    const std::size_t count = keyframeCount(speech.samples.size(), speech.sampleRate);
    std::vector<double> level(count, 0.0);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t first = keyframeStart(k, speech.sampleRate);
        const std::size_t last = std::min(keyframeStart(k + 1, speech.sampleRate), speech.samples.size());
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) sum += double(speech.samples[i]) * speech.samples[i];
        level[k] = last > first ? std::sqrt(sum / double(last - first)) : 0.0;
    }

    // Centred smoothing: the jaw moves ahead of a syllable as much as after it, with no lag.
    std::vector<double> smooth(count, 0.0);
    for (std::size_t k = 0; k < count; ++k) {
        const double before = k > 0 ? level[k - 1] : level[k];
        const double after = k + 1 < count ? level[k + 1] : level[k];
        smooth[k] = 0.25 * before + 0.5 * level[k] + 0.25 * after;
    }

    std::vector<float> jaw(count, 0.0f);
    const double loudest = count > 0 ? *std::max_element(smooth.begin(), smooth.end()) : 0.0;
    if (loudest < kSilenceLevel) return jaw;
    for (std::size_t k = 0; k < count; ++k) jaw[k] = static_cast<float>(kMaxJawOpening * smooth[k] / loudest);
    return jaw;
}

} // namespace service_peer
