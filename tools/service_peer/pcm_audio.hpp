#pragma once
// A block of 16-bit mono PCM speech with its sample rate, and its little-endian byte form as the
// wire carries it. A plain value, used on whichever thread holds it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace service_peer {

struct PcmAudio {
    int sampleRate = 16000;
    std::vector<std::int16_t> samples;

    double seconds() const { return sampleRate > 0 ? double(samples.size()) / sampleRate : 0.0; }
    // Samples [first, first + count), clipped to the end, as little-endian bytes.
    std::vector<std::uint8_t> bytes(std::size_t first, std::size_t count) const;
    // A trailing odd byte is dropped.
    static PcmAudio fromBytes(std::span<const std::uint8_t> bytes, int sampleRate);
};

} // namespace service_peer
