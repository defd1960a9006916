#pragma once
// Lip sync from loudness: one keyframe per 40 ms of speech (25 per second), whose jaw opening
// follows the root-mean-square level of the samples in its 40 ms, smoothed over its neighbours and
// scaled so that the loudest keyframe opens the jaw kMaxJawOpening radians. Near-silent speech
// keeps the jaw closed. Plain functions, callable from any thread.

#include "tools/service_peer/pcm_audio.hpp"

#include <cstddef>
#include <vector>

namespace service_peer {

inline constexpr int kKeyframesPerSecond = 25;
inline constexpr float kMaxJawOpening = 0.35f; // radians

// The number of keyframes covering `sampleCount` samples: a started 40 ms counts.
std::size_t keyframeCount(std::size_t sampleCount, int sampleRate);
// The first sample of keyframe `index`.
std::size_t keyframeStart(std::size_t index, int sampleRate);

// One jaw opening (radians, 0..kMaxJawOpening) per keyframe of the speech.
std::vector<float> jawTrack(const PcmAudio& speech);

} // namespace service_peer
