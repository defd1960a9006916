#include "audio_test_support.hpp"

#include "platform/audio/wav_file.hpp"
#include "tests/support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace MivoKit;

using namespace audiotest;
using testing::HasSubstr;

namespace {

void put(std::string& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(char(value >> (8 * i)));
}

// A WAV file built byte by byte: the format chunk, an odd-sized chunk to skip, then the data.
std::string wavBytes(std::uint16_t format, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                     const std::string& data, bool extensible = false) {
    std::string fmt;
    put(fmt, extensible ? 0xFFFE : format, 2);
    put(fmt, channels, 2);
    put(fmt, rate, 4);
    put(fmt, rate * channels * bits / 8, 4);
    put(fmt, channels * bits / 8, 2);
    put(fmt, bits, 2);
    if (extensible) {
        put(fmt, 22, 2);
        put(fmt, bits, 2);
        put(fmt, 0, 4);
        put(fmt, format, 2); // the sub-format GUID starts with the format code
        fmt.append(14, '\x01');
    }
    std::string body = "WAVE";
    body += "fmt ";
    put(body, std::uint32_t(fmt.size()), 4);
    body += fmt;
    body += "LIST";
    put(body, 3, 4);
    body += "abc";
    body.push_back('\0'); // pad byte of the odd-sized chunk
    body += "data";
    put(body, std::uint32_t(data.size()), 4);
    body += data;
    std::string file = "RIFF";
    put(file, std::uint32_t(body.size()), 4);
    return file + body;
}

} // namespace

TEST(WavFile, SixteenBitAudioSurvivesAWriteAndReadUnchanged) {
    testsupport::TempDir dir;
    std::vector<float> first, second;
    for (int f = 0; f < 300; ++f)
        for (int c = 0; c < 2; ++c)
            (f < 100 ? first : second).push_back(float((f * 331 + c * 17) % 65536 - 32768) / 32768.0f);
    {
        WavFileWriter writer(dir / "round.wav", 44100, 2);
        writer.writeInterleaved(first.data(), 100);
        writer.writeInterleaved(second.data(), 200);
        EXPECT_EQ(writer.framesWritten(), 300u);
    } // the destructor completes the header
    const WavAudio audio = readWavFile(dir / "round.wav");
    EXPECT_EQ(audio.sampleRate, 44100);
    ASSERT_EQ(audio.channelCount, 2u);
    ASSERT_EQ(audio.frameCount(), 300u);
    first.insert(first.end(), second.begin(), second.end());
    for (std::size_t f = 0; f < 300; ++f)
        for (std::size_t c = 0; c < 2; ++c) ASSERT_EQ(audio.channels[c][f], first[f * 2 + c]);

    // Out of range samples are clamped, values between steps rounded to the nearest.
    const float extremes[] = {2.0f, -3.0f, 1.4f / 32768, -0.6f / 32768};
    WavFileWriter writer(dir / "clamped.wav", 8000, 1);
    writer.writeInterleaved(extremes, 4);
    writer.close();
    const WavAudio clamped = readWavFile(dir / "clamped.wav");
    EXPECT_EQ(clamped.channels[0], (std::vector<float>{32767.0f / 32768, -1.0f, 1.0f / 32768, -1.0f / 32768}));
}

TEST(WavFile, ReadsEightTwentyFourAndThirtyTwoBitIntegersAndFloats) {
    testsupport::TempDir dir;
    std::string eight{char(0), char(128), char(255)};
    testsupport::writeFile(dir / "8.wav", wavBytes(1, 1, 8000, 8, eight));
    EXPECT_EQ(readWavFile(dir / "8.wav").channels[0], (std::vector<float>{-1.0f, 0.0f, 127.0f / 128}));

    std::string twentyFour;
    const std::int32_t values24[] = {-8388608, 4194304, 8388607, -1};
    for (auto v : values24) put(twentyFour, std::uint32_t(v), 3);
    testsupport::writeFile(dir / "24.wav", wavBytes(1, 2, 48000, 24, twentyFour, true));
    const WavAudio audio24 = readWavFile(dir / "24.wav");
    ASSERT_EQ(audio24.frameCount(), 2u);
    EXPECT_EQ(audio24.channels[0], (std::vector<float>{-1.0f, 8388607.0f / 8388608}));
    EXPECT_EQ(audio24.channels[1], (std::vector<float>{0.5f, -1.0f / 8388608}));

    std::string thirtyTwo;
    put(thirtyTwo, 0x40000000u, 4);
    put(thirtyTwo, 0x80000000u, 4);
    testsupport::writeFile(dir / "32.wav", wavBytes(1, 1, 16000, 32, thirtyTwo));
    EXPECT_EQ(readWavFile(dir / "32.wav").channels[0], (std::vector<float>{0.5f, -1.0f}));

    std::string floats;
    for (float v : {0.25f, -0.75f}) {
        std::uint32_t raw;
        std::memcpy(&raw, &v, 4);
        put(floats, raw, 4);
    }
    testsupport::writeFile(dir / "f.wav", wavBytes(3, 1, 16000, 32, floats));
    EXPECT_EQ(readWavFile(dir / "f.wav").channels[0], (std::vector<float>{0.25f, -0.75f}));
}

TEST(WavFile, MissingTruncatedAndUnsupportedFilesFailWithAReason) {
    testsupport::TempDir dir;
    auto reason = [](const std::filesystem::path& path) { return audioErrorOf([&] { readWavFile(path); }); };
    EXPECT_THAT(reason(dir / "none.wav"), HasSubstr("none.wav"));
    testsupport::writeFile(dir / "text.wav", "hello, not audio");
    EXPECT_THAT(reason(dir / "text.wav"), HasSubstr("not a WAV file"));
    std::string whole = wavBytes(1, 1, 8000, 16, std::string(64, '\0'));
    testsupport::writeFile(dir / "short.wav", whole.substr(0, whole.size() - 10));
    EXPECT_THAT(reason(dir / "short.wav"), HasSubstr("truncated"));
    testsupport::writeFile(dir / "adpcm.wav", wavBytes(2, 1, 8000, 4, std::string(8, '\0')));
    EXPECT_THAT(reason(dir / "adpcm.wav"), HasSubstr("unsupported"));
    testsupport::writeFile(dir / "12bit.wav", wavBytes(1, 1, 8000, 12, std::string(8, '\0')));
    EXPECT_THAT(reason(dir / "12bit.wav"), HasSubstr("unsupported"));
    EXPECT_THROW(WavFileWriter(dir / "no" / "such" / "dir.wav", 8000, 1), AudioError);
}

TEST(WavFile, SpeechBytesGoInAndOutAsSixteenBitMono) {
    testsupport::TempDir dir;
    std::vector<std::uint8_t> pcm;
    for (int i = 0; i < 1000; ++i) {
        const auto sample = std::uint16_t(std::int16_t(i * 61 - 30000));
        pcm.push_back(std::uint8_t(sample & 0xFF));
        pcm.push_back(std::uint8_t(sample >> 8));
    }
    writePCM16MonoWavFile(dir / "speech.wav", pcm, 24000);
    double rate = 0;
    EXPECT_EQ(readWavFileAsPCM16Mono(dir / "speech.wav", rate), pcm);
    EXPECT_EQ(rate, 24000);

    // A stereo file comes back as the mean of its channels.
    const float stereo[] = {0.5f, 0.25f, -1.0f, 0.0f};
    WavFileWriter writer(dir / "stereo.wav", 8000, 2);
    writer.writeInterleaved(stereo, 2);
    writer.close();
    const auto mono = readWavFileAsPCM16Mono(dir / "stereo.wav", rate);
    ASSERT_EQ(mono.size(), 4u);
    EXPECT_EQ(std::int16_t(mono[0] | mono[1] << 8), std::int16_t(0.375 * 32768));
    EXPECT_EQ(std::int16_t(mono[2] | mono[3] << 8), std::int16_t(-0.5 * 32768));
    EXPECT_EQ(rate, 8000);
}
