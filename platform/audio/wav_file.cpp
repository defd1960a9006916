#include "platform/audio/wav_file.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace MivoKit {

namespace platform::audio {
namespace {

constexpr std::uint16_t formatPCM = 1;
constexpr std::uint16_t formatFloat = 3;
// WAVE_FORMAT_EXTENSIBLE: the real format is the first two bytes of the sub-format GUID.
constexpr std::uint16_t formatExtensible = 0xFFFE;
constexpr std::size_t headerBytes = 44;

std::uint32_t readLE(const std::uint8_t* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

void putLE(std::uint8_t* p, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = std::uint8_t(value >> (8 * i));
}

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

// One integer or float sample of `bits` bits at `p`, as a float in -1...1.
float decodeSample(const std::uint8_t* p, std::uint16_t format, std::uint16_t bits) {
    if (format == formatFloat) {
        float value;
        const std::uint32_t raw = readLE(p, 4);
        std::memcpy(&value, &raw, 4);
        return value;
    }
    switch (bits) {
    case 8: return (float(p[0]) - 128.0f) / 128.0f; // 8-bit WAV is unsigned
    case 16: return float(std::int16_t(readLE(p, 2))) / 32768.0f;
    case 24: return float(std::int32_t(readLE(p, 3) << 8) >> 8) / 8388608.0f;
    default: return float(double(std::int32_t(readLE(p, 4))) / 2147483648.0);
    }
}

std::int16_t encodeSample(float sample) {
    if (!(sample == sample)) sample = 0; // NaN
    // The scale matches the reader's, so 16-bit audio survives a round trip unchanged.
    const long value = std::lround(double(std::clamp(sample, -1.0f, 1.0f)) * 32768.0);
    return std::int16_t(std::clamp(value, -32768L, 32767L));
}

std::array<std::uint8_t, headerBytes> header(double sampleRate, std::uint32_t channelCount, std::uint64_t dataBytes) {
    std::array<std::uint8_t, headerBytes> h{};
    const auto rate = std::uint32_t(std::lround(sampleRate));
    const auto data = std::uint32_t(std::min<std::uint64_t>(dataBytes, 0xFFFFFFFFu - 36));
    std::memcpy(&h[0], "RIFF", 4);
    putLE(&h[4], 36 + data, 4);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    putLE(&h[16], 16, 4);
    putLE(&h[20], formatPCM, 2);
    putLE(&h[22], channelCount, 2);
    putLE(&h[24], rate, 4);
    putLE(&h[28], rate * channelCount * 2, 4);
    putLE(&h[32], channelCount * 2, 2);
    putLE(&h[34], 16, 2);
    std::memcpy(&h[36], "data", 4);
    putLE(&h[40], data, 4);
    return h;
}

} // namespace

WavAudio readWavFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw AudioError("cannot open WAV file " + quoted(path) + ": " + std::strerror(errno));
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        throw AudioError(quoted(path) + " is not a WAV file");

    const std::uint8_t* fmt = nullptr;
    std::uint32_t fmtSize = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t dataSize = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size() && !(fmt && data);) {
        const std::uint32_t size = readLE(&bytes[at + 4], 4);
        const std::uint8_t* body = &bytes[at + 8];
        const bool fits = size <= bytes.size() - at - 8;
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0) {
            if (!fits || size < 16) throw AudioError("WAV file " + quoted(path) + " is truncated in its format chunk");
            fmt = body, fmtSize = size;
        } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
            if (!fits) throw AudioError("WAV file " + quoted(path) + " is truncated in its data chunk");
            data = body, dataSize = size;
        }
        if (!fits) break;
        at += 8 + std::size_t(size) + (size & 1); // chunks are padded to an even length
    }
    if (!fmt) throw AudioError("WAV file " + quoted(path) + " has no format chunk");
    if (!data) throw AudioError("WAV file " + quoted(path) + " has no data chunk");

    std::uint16_t format = std::uint16_t(readLE(fmt, 2));
    const std::uint16_t channels = std::uint16_t(readLE(fmt + 2, 2));
    const std::uint32_t rate = readLE(fmt + 4, 4);
    const std::uint16_t bits = std::uint16_t(readLE(fmt + 14, 2));
    if (format == formatExtensible && fmtSize >= 26) format = std::uint16_t(readLE(fmt + 24, 2));
    const bool supported = (format == formatPCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) ||
                           (format == formatFloat && bits == 32);
    if (!supported || channels == 0 || rate == 0)
        throw AudioError("WAV file " + quoted(path) + " has an unsupported format (format " + std::to_string(format) +
                         ", " + std::to_string(bits) + " bits, " + std::to_string(channels) + " channels, " +
                         std::to_string(rate) + " Hz)");

    const std::size_t sampleBytes = bits / 8;
    const std::size_t frameBytes = sampleBytes * channels;
    const std::size_t frames = dataSize / frameBytes; // a trailing partial frame is dropped
    WavAudio audio;
    audio.sampleRate = rate;
    audio.channelCount = channels;
    audio.channels.assign(channels, std::vector<float>(frames));
    for (std::size_t f = 0; f < frames; ++f)
        for (std::uint16_t c = 0; c < channels; ++c)
            audio.channels[c][f] = decodeSample(data + f * frameBytes + c * sampleBytes, format, bits);
    return audio;
}

WavFileWriter::WavFileWriter(const std::filesystem::path& path, double sampleRate, std::uint32_t channelCount)
    : channelCount_(channelCount) {
    if (channelCount == 0 || !(sampleRate > 0)) throw AudioError("cannot write a WAV file without channels or rate");
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw AudioError("cannot create WAV file " + quoted(path) + ": " + std::strerror(errno));
    // Written now with empty sizes, completed by close().
    const auto h = header(sampleRate, channelCount, 0);
    if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) {
        std::fclose(file_);
        file_ = nullptr;
        throw AudioError("cannot write WAV file " + quoted(path));
    }
    sampleRate_ = sampleRate;
}

WavFileWriter::~WavFileWriter() {
    try {
        close();
    } catch (const AudioError&) {
        // A destructor cannot report it; close() explicitly to see write errors.
    }
}

void WavFileWriter::writeInterleaved(const float* samples, std::size_t frames) {
    if (!file_) throw AudioError("the WAV file is closed");
    const std::size_t count = frames * channelCount_;
    if (scratch_.size() < count) scratch_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t value = encodeSample(samples[i]);
        if constexpr (std::endian::native == std::endian::big)
            value = std::int16_t(std::uint16_t(value) << 8 | std::uint16_t(value) >> 8);
        scratch_[i] = value;
    }
    if (std::fwrite(scratch_.data(), sizeof(std::int16_t), count, file_) != count)
        throw AudioError(std::string("cannot write the WAV file: ") + std::strerror(errno));
    frames_ += frames;
}

void WavFileWriter::close() {
    if (!file_) return;
    std::FILE* file = file_;
    file_ = nullptr;
    const auto h = header(sampleRate_, channelCount_, frames_ * channelCount_ * 2);
    const bool written = std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(h.data(), 1, h.size(), file) == h.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) throw AudioError(std::string("cannot complete the WAV file: ") + std::strerror(errno));
}

std::vector<std::uint8_t> readWavFileAsPCM16Mono(const std::filesystem::path& path, double& sampleRate) {
    const WavAudio audio = readWavFile(path);
    sampleRate = audio.sampleRate;
    std::vector<std::uint8_t> pcm(audio.frameCount() * 2);
    for (std::size_t f = 0; f < audio.frameCount(); ++f) {
        float sum = 0;
        for (const auto& channel : audio.channels) sum += channel[f];
        putLE(&pcm[2 * f], std::uint16_t(encodeSample(sum / float(audio.channelCount))), 2);
    }
    return pcm;
}

void writePCM16MonoWavFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& pcm,
                           double sampleRate) {
    std::vector<float> samples(pcm.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(std::int16_t(readLE(&pcm[2 * i], 2))) / 32768.0f;
    WavFileWriter writer(path, sampleRate, 1);
    writer.writeInterleaved(samples.data(), samples.size());
    writer.close();
}

} // namespace platform::audio

} // namespace MivoKit
