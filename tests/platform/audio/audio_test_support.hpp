#pragma once
// Helpers of the audio tests: buffers whose every sample is recognisable, and an engine with one
// player node on the virtual device, driven by virtual time.

#include "platform/audio/audio_engine.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/dispatch/clock.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace MivoKit;

namespace audiotest {

using namespace platform::audio;

// A value in -1...1 that differs between neighbouring frames, channels and seeds, negative ones
// included.
inline float sampleValue(std::uint32_t frame, std::uint32_t channel, std::uint32_t seed) {
    return float(int((frame * 7919u + channel * 104729u + seed * 31u) % 2001u) - 1000) / 1024.0f;
}

inline std::shared_ptr<PCMBuffer> patternBuffer(const AudioFormat& format, std::uint32_t frames, std::uint32_t seed) {
    auto buffer = PCMBuffer::make(format, frames);
    buffer->setFrameLength(frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c)
        for (std::uint32_t f = 0; f < frames; ++f) buffer->floatChannelData(c)[f] = sampleValue(f, c, seed);
    return buffer;
}

inline std::vector<float> channelSamples(const PCMBuffer& buffer, std::uint32_t channel = 0) {
    const float* data = buffer.floatChannelData(channel);
    return {data, data + buffer.frameLength()};
}

inline AudioDeviceOptions driverOptions(std::string drivers) {
    AudioDeviceOptions options;
    options.drivers = std::move(drivers);
    return options;
}

inline AudioDeviceOptions periodOptions(double periodSeconds) {
    AudioDeviceOptions options;
    options.periodSeconds = periodSeconds;
    return options;
}

// A new node attached to `engine` and connected to its mixer in `format`.
inline std::shared_ptr<AudioPlayerNode> connectedNode(AudioEngine& engine, const AudioFormat& format) {
    auto node = std::make_shared<AudioPlayerNode>();
    engine.attach(node);
    engine.connect(node, engine.mainMixerNode(), format);
    return node;
}

// The text of the AudioError that `call` throws, or a note that it threw none.
template <class Call>
std::string audioErrorOf(Call&& call) {
    try {
        call();
    } catch (const AudioError& error) {
        return error.localizedDescription();
    }
    return "no AudioError";
}

// Virtual time, the manual virtual device (10 ms periods), an engine and one connected node.
struct VirtualRig {
    explicit VirtualRig(double rate = 16000, std::uint32_t channels = 1)
        : format(AudioFormat::standard(rate, channels)),
          device(std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::manual, periodOptions(0.01))),
          engine(device), node(connectedNode(engine, format)) {}

    platform::dispatch::VirtualTime time;
    AudioFormat format;
    std::shared_ptr<VirtualAudioDevice> device;
    AudioEngine engine;
    std::shared_ptr<AudioPlayerNode> node;
};

} // namespace audiotest
