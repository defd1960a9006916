#include "tools/service_peer/reply_wav.hpp"

#include "platform/audio/wav_file.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

using namespace MivoKit;

namespace service_peer {

PcmAudio readReplyWav(const std::filesystem::path& path, int sampleRate) {
    double fileRate = 0;
    const auto pcm = platform::audio::readWavFileAsPCM16Mono(path, fileRate);
    if (!(fileRate >= 1 && fileRate <= 384000))
        throw std::runtime_error("reply WAV " + path.string() + ": sample rate out of range");
    return resample(PcmAudio::fromBytes(pcm, static_cast<int>(std::lround(fileRate))), sampleRate);
}

PcmAudio resample(const PcmAudio& audio, int sampleRate) {
    if (audio.sampleRate == sampleRate || audio.samples.empty()) return {sampleRate, audio.samples};
    const double step = double(audio.sampleRate) / sampleRate;
    const auto count = static_cast<std::size_t>(std::floor(double(audio.samples.size() - 1) / step)) + 1;
    PcmAudio out{sampleRate, {}};
    out.samples.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double position = double(i) * step;
        const auto left = static_cast<std::size_t>(position);
        const std::size_t right = std::min(left + 1, audio.samples.size() - 1);
        const double t = position - double(left);
        out.samples.push_back(
            static_cast<std::int16_t>(std::lround(audio.samples[left] * (1 - t) + audio.samples[right] * t)));
    }
    return out;
}

} // namespace service_peer
