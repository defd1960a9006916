#pragma once
// Stand-in for the platform's audio time: a moment on a sample clock (a sample time at a sample
// rate) and on the host clock (nanoseconds of platform::dispatch::monotonicNow()), each with its
// own validity.

#include <cstdint>

namespace MivoKit {

namespace platform::audio {

struct AudioTime {
    std::int64_t sampleTime = 0;
    double sampleRate = 0;
    std::uint64_t hostTime = 0;
    bool isSampleTimeValid = false;
    bool isHostTimeValid = false;

    static AudioTime atSample(std::int64_t sampleTime, double sampleRate) {
        return {sampleTime, sampleRate, 0, true, false};
    }
    static AudioTime atSampleAndHost(std::int64_t sampleTime, double sampleRate, std::uint64_t hostTime) {
        return {sampleTime, sampleRate, hostTime, true, true};
    }

    friend bool operator==(const AudioTime&, const AudioTime&) = default;
};

} // namespace platform::audio

} // namespace MivoKit
