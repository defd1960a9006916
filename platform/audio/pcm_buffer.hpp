#pragma once
// Stand-in for the platform's PCM buffer: room for `frameCapacity` frames of one format, of which
// the first `frameLength` hold audio. Samples start zeroed. Each channel is reached through a
// typed pointer of the format's sample type; an interleaved format has one block holding every
// channel (stride = channel count), a non-interleaved one a block per channel (stride 1).

#include "platform/audio/audio_format.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace MivoKit {

namespace platform::audio {

class PCMBuffer {
public:
    // Null when the format is not valid.
    static std::shared_ptr<PCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Sets how many frames hold audio; false (and unchanged) past the capacity.
    bool setFrameLength(std::uint32_t frames);

    // Samples of `channel` for the matching sample type, else null (also for a channel past the
    // count, and for channels after the first of an interleaved format).
    float* floatChannelData(std::uint32_t channel);
    const float* floatChannelData(std::uint32_t channel) const;
    std::int16_t* int16ChannelData(std::uint32_t channel);
    const std::int16_t* int16ChannelData(std::uint32_t channel) const;
    std::int32_t* int32ChannelData(std::uint32_t channel);
    const std::int32_t* int32ChannelData(std::uint32_t channel) const;
    double* doubleChannelData(std::uint32_t channel);
    const double* doubleChannelData(std::uint32_t channel) const;

    // Distance, in samples, between two frames of one channel.
    std::uint32_t stride() const { return format_.isInterleaved() ? format_.channelCount() : 1; }

private:
    PCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    template <class T>
    T* channel(CommonFormat expected, std::uint32_t channel) const;

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::size_t channelBytes_; // bytes of one channel block (or of the single interleaved block)
    // 8-byte units so every sample type is aligned.
    mutable std::vector<std::uint64_t> storage_;
};

} // namespace platform::audio

} // namespace MivoKit
