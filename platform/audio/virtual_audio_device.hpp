#pragma once
// The audio device of tests and of machines without sound: the "virtual" and "wav" drivers.
//
// It renders and captures in periods (periodSeconds of audio each; the frame count of period k is
// round(k * period * rate) - round((k - 1) * period * rate), so 10 ms is exactly 160 frames at
// 16 kHz and 441 at 44.1 kHz). Each period renders the output client, feeds the input client from
// the microphone source (a WAV file, repeated, or silence), then calls deliver() on the clients,
// all on the thread that runs the period. The played audio goes to an optional 16-bit WAV file
// (written as it plays and finalised on stopOutput()) and to an in-memory record for tests.
//
// Manual mode ("virtual"): no thread. While a platform::dispatch::VirtualTime is installed when a
// stream starts, the device registers as its ticker: the period that covers [t - period, t) runs
// at virtual time t, the first one period after the start. Otherwise advance() runs periods on
// the caller's thread. Paced mode ("wav"): one thread of its own runs period after period until
// the streams stop, sleeping until absolute deadlines start + rendered / rate (divided by the
// pace factor; 0 does not sleep), so it does not drift. A manual device is started, stopped and
// destroyed on the thread that advances it.

#include "platform/audio/audio_device.hpp"
#include "platform/dispatch/clock.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace MivoKit {

namespace platform::audio {

class VirtualAudioDevice : public AudioDevice {
public:
    enum class Mode { manual, paced };

    // Throws AudioError when the input WAV file cannot be read.
    VirtualAudioDevice(Mode mode, const AudioDeviceOptions& options = {});
    ~VirtualAudioDevice() override;

    std::string_view driverName() const override;
    AudioFormat inputFormat() override;
    void startOutput(const AudioFormat& format, AudioDeviceClient& client) override;
    void stopOutput() override;
    void startInput(AudioDeviceClient& client) override;
    void stopInput() override;

    // Manual mode without virtual time: runs whole periods covering `duration` (at least one
    // period's worth; the remainder carries over to the next call) on the calling thread.
    // std::logic_error in paced mode and while a VirtualTime drives the device.
    void advance(platform::dispatch::Nanoseconds duration);
    // Runs exactly one period. Manual mode only (std::logic_error in paced mode).
    void runPeriod();

    // ---- what happened, for tests (any thread) ----
    // Periods run since the device was made.
    std::uint64_t periodsRun() const;
    // Paced mode: periods that began more than one period after their deadline (a real device
    // would have run dry), and the latest start seen.
    std::uint64_t latePeriods() const;
    platform::dispatch::Nanoseconds maxLateness() const;
    // Frames rendered and captured since the stream started.
    std::int64_t outputFramesRendered() const;
    std::int64_t inputFramesCaptured() const;
    // Every sample of channel 0 rendered since the output started, up to `recordCapacitySeconds`
    // of audio (preallocated at startOutput(); later audio is not recorded here).
    std::vector<float> renderedSamples() const;
    static constexpr double recordCapacitySeconds = 120;
    bool isOutputRunning() const;
    bool isInputRunning() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::audio

} // namespace MivoKit
