#pragma once
// WAV files: reading 8/16/24/32-bit integer and 32-bit float PCM into float samples, and writing
// 16-bit PCM as it comes (the header is completed when the file is closed).

#include "platform/audio/audio_error.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace MivoKit {

namespace platform::audio {

struct WavAudio {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    // Samples of each channel, in -1...1.
    std::vector<std::vector<float>> channels;

    std::size_t frameCount() const { return channels.empty() ? 0 : channels.front().size(); }
};

// Throws AudioError with a readable reason for a missing, truncated or unsupported file.
WavAudio readWavFile(const std::filesystem::path& path);

// Writes 16-bit PCM; samples are clamped to -1...1 and rounded.
class WavFileWriter {
public:
    // Throws AudioError when the file cannot be created.
    WavFileWriter(const std::filesystem::path& path, double sampleRate, std::uint32_t channelCount);
    // Closes (completes the header) if still open.
    ~WavFileWriter();
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    // `frames` frames, channels interleaved. Throws AudioError when the file cannot be written.
    void writeInterleaved(const float* samples, std::size_t frames);
    // Throws AudioError when the header cannot be completed.
    void close();
    std::uint64_t framesWritten() const { return frames_; }

private:
    std::FILE* file_ = nullptr;
    double sampleRate_ = 0;
    std::uint32_t channelCount_;
    std::uint64_t frames_ = 0;
    std::vector<std::int16_t> scratch_;
};

// 16-bit mono PCM bytes (little-endian), as the services exchange speech, in and out of a WAV file.
std::vector<std::uint8_t> readWavFileAsPCM16Mono(const std::filesystem::path& path, double& sampleRate);
void writePCM16MonoWavFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& pcm, double sampleRate);

} // namespace platform::audio

} // namespace MivoKit
