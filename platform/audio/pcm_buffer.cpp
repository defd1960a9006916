#include "platform/audio/pcm_buffer.hpp"

namespace MivoKit {

namespace platform::audio {

std::shared_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (!format.isValid()) return nullptr;
    return std::shared_ptr<PCMBuffer>(new PCMBuffer(format, frameCapacity));
}

PCMBuffer::PCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const std::size_t samplesPerBlock =
        std::size_t(frameCapacity) * (format.isInterleaved() ? format.channelCount() : 1);
    channelBytes_ = samplesPerBlock * bytesPerSample(format.commonFormat());
    const std::size_t blocks = format.isInterleaved() ? 1 : format.channelCount();
    const std::size_t unitsPerBlock = (channelBytes_ + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
    channelBytes_ = unitsPerBlock * sizeof(std::uint64_t);
    storage_.assign(unitsPerBlock * blocks, 0);
}

bool PCMBuffer::setFrameLength(std::uint32_t frames) {
    if (frames > frameCapacity_) return false;
    frameLength_ = frames;
    return true;
}

template <class T>
T* PCMBuffer::channel(CommonFormat expected, std::uint32_t channel) const {
    if (format_.commonFormat() != expected) return nullptr;
    const std::uint32_t blocks = format_.isInterleaved() ? 1 : format_.channelCount();
    if (channel >= blocks) return nullptr;
    auto* base = reinterpret_cast<unsigned char*>(storage_.data());
    return reinterpret_cast<T*>(base + channel * channelBytes_);
}

float* PCMBuffer::floatChannelData(std::uint32_t c) { return channel<float>(CommonFormat::pcmFormatFloat32, c); }
const float* PCMBuffer::floatChannelData(std::uint32_t c) const {
    return channel<float>(CommonFormat::pcmFormatFloat32, c);
}
std::int16_t* PCMBuffer::int16ChannelData(std::uint32_t c) {
    return channel<std::int16_t>(CommonFormat::pcmFormatInt16, c);
}
const std::int16_t* PCMBuffer::int16ChannelData(std::uint32_t c) const {
    return channel<std::int16_t>(CommonFormat::pcmFormatInt16, c);
}
std::int32_t* PCMBuffer::int32ChannelData(std::uint32_t c) {
    return channel<std::int32_t>(CommonFormat::pcmFormatInt32, c);
}
const std::int32_t* PCMBuffer::int32ChannelData(std::uint32_t c) const {
    return channel<std::int32_t>(CommonFormat::pcmFormatInt32, c);
}
double* PCMBuffer::doubleChannelData(std::uint32_t c) { return channel<double>(CommonFormat::pcmFormatFloat64, c); }
const double* PCMBuffer::doubleChannelData(std::uint32_t c) const {
    return channel<double>(CommonFormat::pcmFormatFloat64, c);
}

} // namespace platform::audio

} // namespace MivoKit
