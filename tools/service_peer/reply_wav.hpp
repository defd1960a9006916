#pragma once
// The reply speech from a WAV file, read by the platform's WAV reader (16-bit PCM mono is what is
// expected; other integer or float formats are converted and several channels mixed down) and
// resampled to the session's rate by linear interpolation. Runs on the calling thread.

#include "tools/service_peer/pcm_audio.hpp"

#include <filesystem>

namespace service_peer {

// Throws std::runtime_error whose message names the file and what is wrong with it.
PcmAudio readReplyWav(const std::filesystem::path& path, int sampleRate);

// The same speech at `sampleRate` (linear interpolation; unchanged when the rates agree).
PcmAudio resample(const PcmAudio& audio, int sampleRate);

} // namespace service_peer
