#pragma once
// Stand-in for the audio hardware under the engines: one interface, several drivers chosen at run
// time, as SDL chooses its audio drivers.
//
// Drivers, in the order they are tried when none is named:
//   "sdl"      SDL2 audio: the system's playback and capture devices (SDL picks its own backend;
//              SDL_AUDIODRIVER=dummy gives a silent device that still runs). Opening fails with
//              SDL's error text on a machine without a usable device; SDL itself may still start
//              there, so a caller that must play sets playbackMustOpen to pass the driver over.
// and, only when named:
//   "virtual"  a device without a thread that runs only when advanced: by VirtualTime (its periods
//              become ticks) or by advance(). Exact, for tests.
//   "wav"      the same device pacing itself in real time on its own thread.
// Both virtual drivers can write what they play to a WAV file and take the microphone from a WAV
// file or from silence (VirtualAudioDevice).
//
// The device pulls: on its real-time thread it asks its clients to render output and to take
// captured input; those calls allocate nothing, take no lock that another thread holds for long,
// and never wait. Then, never on the real-time thread, it calls deliver() so the clients can hand
// finished buffers and captured audio on (deliver may allocate and call out).

#include "platform/audio/audio_error.hpp"
#include "platform/audio/audio_format.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace MivoKit {

namespace platform::audio {

// What a device calls. One client plays, another (or the same) records.
class AudioDeviceClient {
public:
    virtual ~AudioDeviceClient() = default;
    // Fills `frames` frames of each of `channelCount` non-interleaved float channels.
    // `sampleTime` counts the frames rendered since startOutput(). Real-time thread.
    virtual void renderOutput(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                              std::int64_t sampleTime) noexcept = 0;
    // Takes `frames` captured frames; `sampleTime` counts the frames captured since startInput().
    // Real-time thread.
    virtual void captureInput(const float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                              std::int64_t sampleTime) noexcept = 0;
    // Hands on what the real-time calls left behind. Never on the real-time thread.
    virtual void deliver() = 0;
};

class AudioDevice {
public:
    virtual ~AudioDevice() = default;

    // The driver's name: "sdl", "virtual" or "wav".
    virtual std::string_view driverName() const = 0;

    // The microphone's own format (32-bit float, non-interleaved). May open the capture device to
    // ask; throws AudioError with the driver's text when the device cannot record.
    virtual AudioFormat inputFormat() = 0;

    // Starts pulling output in `format` (32-bit float, non-interleaved) from `client`; throws
    // AudioError when the device cannot play. At most one output client at a time.
    virtual void startOutput(const AudioFormat& format, AudioDeviceClient& client) = 0;
    // Stops; when it returns, the client is never called for output again.
    virtual void stopOutput() = 0;

    // Starts capturing in inputFormat() into `client`; throws AudioError when it cannot record.
    virtual void startInput(AudioDeviceClient& client) = 0;
    // Stops; when it returns, the client is never called for input again.
    virtual void stopInput() = 0;
};

struct AudioDeviceOptions {
    // Comma-separated driver names to try in order; empty: every driver not named-only, in order.
    std::string drivers;
    // The virtual drivers' period in seconds, and the SDL driver's buffer in the same terms.
    double periodSeconds = 0.01;
    // Virtual drivers: where to write what they play (16-bit PCM WAV), none: nowhere.
    std::optional<std::filesystem::path> outputWavPath;
    // Virtual drivers: the microphone's audio, repeated; none: silence in `silentInputFormat`.
    std::optional<std::filesystem::path> inputWavPath;
    AudioFormat silentInputFormat = AudioFormat::standard(16000, 1);
    // "wav": 1 plays in real time, 2 twice as fast, 0 as fast as it can.
    double pace = 1.0;
    // Pass over a driver whose playback device does not open here (tried by starting its output
    // once and stopping it), so that "sdl,wav" plays in real time on a machine without sound.
    bool playbackMustOpen = false;
};

// One entry of the driver table.
struct AudioDriverEntry {
    std::string_view name;
    bool onDemandOnly; // never chosen unless named
    // Null when the driver cannot run here; throws AudioError with the reason.
    std::shared_ptr<AudioDevice> (*make)(const AudioDeviceOptions& options);
};

// The table, in the order drivers are tried.
std::span<const AudioDriverEntry> audioDrivers();

// The first driver of `options.drivers` (or of the default order) that can be made here. Prints
// the driver chosen and, for each one that failed, why. Throws AudioError when none could be made.
std::shared_ptr<AudioDevice> makeAudioDevice(const AudioDeviceOptions& options = {});

// The device that new engines use: the one set last, else one made from the default options on
// first use. Any thread.
std::shared_ptr<AudioDevice> sharedAudioDevice();
// Null: the next sharedAudioDevice() makes a default one again.
void setSharedAudioDevice(std::shared_ptr<AudioDevice> device);

} // namespace platform::audio

} // namespace MivoKit
