#include "platform/audio/audio_device.hpp"

#include "platform/audio/sdl_audio_device.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/log/log.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <vector>

namespace MivoKit {

namespace platform::audio {
namespace {

std::shared_ptr<AudioDevice> makeVirtual(const AudioDeviceOptions& options) {
    return std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::manual, options);
}

std::shared_ptr<AudioDevice> makePaced(const AudioDeviceOptions& options) {
    return std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::paced, options);
}

constexpr std::array<AudioDriverEntry, 3> drivers{{
    {"sdl", false, makeSdlAudioDevice},
    {"virtual", true, makeVirtual},
    {"wav", true, makePaced},
}};

std::vector<std::string_view> namesToTry(std::string_view list) {
    std::vector<std::string_view> names;
    if (list.empty()) {
        for (const auto& entry : drivers)
            if (!entry.onDemandOnly) names.push_back(entry.name);
        return names;
    }
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

const AudioDriverEntry* findDriver(std::string_view name) {
    for (const auto& entry : drivers)
        if (entry.name == name) return &entry;
    return nullptr;
}

// Plays silence for as long as the playback check keeps the output open.
class Silence final : public AudioDeviceClient {
public:
    void renderOutput(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                      std::int64_t) noexcept override {
        for (std::uint32_t c = 0; c < channelCount; ++c) std::fill_n(channels[c], frames, 0.0f);
    }
    void captureInput(const float* const*, std::uint32_t, std::uint32_t, std::int64_t) noexcept override {}
    void deliver() override {}
};

// Throws AudioError with the driver's text when the device's playback does not open.
void checkPlaybackOpens(AudioDevice& device) {
    Silence silence;
    device.startOutput(AudioFormat::standard(48000, 2), silence);
    device.stopOutput();
}

struct SharedDevice {
    std::mutex mutex;
    std::shared_ptr<AudioDevice> device;
};

SharedDevice& sharedDevice() {
    // Never destroyed: audio threads may still use the device while the process exits.
    static SharedDevice* shared = new SharedDevice();
    return *shared;
}

} // namespace

std::span<const AudioDriverEntry> audioDrivers() { return drivers; }

std::shared_ptr<AudioDevice> makeAudioDevice(const AudioDeviceOptions& options) {
    std::string reasons;
    for (std::string_view name : namesToTry(options.drivers)) {
        std::string why;
        if (const AudioDriverEntry* entry = findDriver(name)) {
            try {
                if (auto device = entry->make(options)) {
                    if (options.playbackMustOpen) checkPlaybackOpens(*device);
                    log::print("audio: using driver \"" + std::string(name) + "\"");
                    return device;
                }
                why = "cannot run here";
            } catch (const AudioError& error) {
                why = error.what();
            }
        } else {
            why = "no such audio driver";
        }
        log::print("audio: driver \"" + std::string(name) + "\" failed: " + why);
        reasons += (reasons.empty() ? "" : "; ") + std::string(name) + ": " + why;
    }
    throw AudioError("no audio driver could be started (" + (reasons.empty() ? "none named" : reasons) + ")");
}

std::shared_ptr<AudioDevice> sharedAudioDevice() {
    auto& shared = sharedDevice();
    std::lock_guard lock(shared.mutex);
    if (!shared.device) shared.device = makeAudioDevice();
    return shared.device;
}

void setSharedAudioDevice(std::shared_ptr<AudioDevice> device) {
    auto& shared = sharedDevice();
    std::lock_guard lock(shared.mutex);
    shared.device = std::move(device);
}

} // namespace platform::audio

} // namespace MivoKit
