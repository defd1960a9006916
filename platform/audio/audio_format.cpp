#include "platform/audio/audio_format.hpp"

#include <cmath>

namespace MivoKit {

namespace platform::audio {

std::size_t bytesPerSample(CommonFormat format) {
    switch (format) {
    case CommonFormat::pcmFormatFloat32: return 4;
    case CommonFormat::pcmFormatFloat64: return 8;
    case CommonFormat::pcmFormatInt16: return 2;
    case CommonFormat::pcmFormatInt32: return 4;
    case CommonFormat::otherFormat: return 0;
    }
    return 0;
}

AudioFormat::AudioFormat(CommonFormat commonFormat, double sampleRate, std::uint32_t channelCount, bool interleaved)
    : commonFormat_(commonFormat), sampleRate_(sampleRate), channelCount_(channelCount), interleaved_(interleaved) {}

AudioFormat AudioFormat::standard(double sampleRate, std::uint32_t channelCount) {
    return AudioFormat(CommonFormat::pcmFormatFloat32, sampleRate, channelCount, false);
}

bool AudioFormat::isValid() const {
    return bytesPerSample(commonFormat_) > 0 && channelCount_ > 0 && std::isfinite(sampleRate_) && sampleRate_ > 0;
}

bool AudioFormat::isStandard() const { return commonFormat_ == CommonFormat::pcmFormatFloat32 && !interleaved_; }

} // namespace platform::audio

} // namespace MivoKit
