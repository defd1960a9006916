#include "tools/service_peer/pcm_audio.hpp"

#include <algorithm>

namespace service_peer {

std::vector<std::uint8_t> PcmAudio::bytes(std::size_t first, std::size_t count) const {
    first = std::min(first, samples.size());
    count = std::min(count, samples.size() - first);
    std::vector<std::uint8_t> out;
    out.reserve(2 * count);
    for (std::size_t i = first; i < first + count; ++i) {
        const auto value = static_cast<std::uint16_t>(samples[i]);
        out.push_back(static_cast<std::uint8_t>(value & 0xFF));
        out.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return out;
}

PcmAudio PcmAudio::fromBytes(std::span<const std::uint8_t> bytes, int sampleRate) {
    PcmAudio audio{sampleRate, {}};
    audio.samples.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        audio.samples.push_back(static_cast<std::int16_t>(std::uint16_t(bytes[i]) | std::uint16_t(bytes[i + 1]) << 8));
    return audio;
}

} // namespace service_peer
