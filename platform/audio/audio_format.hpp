#pragma once
// Stand-in for the platform's PCM audio format: sample rate, channel count, the common sample
// format and whether channels are interleaved in one block or stored one block per channel.

#include <cstddef>
#include <cstdint>

namespace MivoKit {

namespace platform::audio {

enum class CommonFormat {
    otherFormat,
    pcmFormatFloat32,
    pcmFormatFloat64,
    pcmFormatInt16,
    pcmFormatInt32,
};

// Bytes of one sample of one channel (0 for otherFormat).
std::size_t bytesPerSample(CommonFormat format);

class AudioFormat {
public:
    AudioFormat(CommonFormat commonFormat, double sampleRate, std::uint32_t channelCount, bool interleaved);

    // 32-bit float samples, one block per channel: what the engines play and record.
    static AudioFormat standard(double sampleRate, std::uint32_t channelCount);

    CommonFormat commonFormat() const { return commonFormat_; }
    double sampleRate() const { return sampleRate_; }
    std::uint32_t channelCount() const { return channelCount_; }
    bool isInterleaved() const { return interleaved_; }

    // A format buffers can be made in: a known sample format, at least one channel and a positive,
    // finite sample rate.
    bool isValid() const;
    // True for 32-bit float samples stored one block per channel.
    bool isStandard() const;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

private:
    CommonFormat commonFormat_;
    double sampleRate_;
    std::uint32_t channelCount_;
    bool interleaved_;
};

} // namespace platform::audio

} // namespace MivoKit
