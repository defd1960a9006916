#include "audio_test_support.hpp"

#include "platform/audio/wav_file.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using namespace MivoKit;

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

// Plays a running count and keeps what it is told, in the order the device calls it.
struct RecordingClient : AudioDeviceClient {
    std::vector<std::uint32_t> renderedFrames, capturedFrames;
    std::vector<std::int64_t> renderTimes;
    std::vector<float> captured;
    std::vector<char> calls; // 'r'ender, 'c'apture, 'd'eliver
    std::function<void()> onDeliver;

    void renderOutput(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                      std::int64_t sampleTime) noexcept override {
        for (std::uint32_t c = 0; c < channelCount; ++c)
            for (std::uint32_t f = 0; f < frames; ++f)
                channels[c][f] = sampleValue(std::uint32_t(sampleTime) + f, c, 0);
        renderedFrames.push_back(frames);
        renderTimes.push_back(sampleTime);
        calls.push_back('r');
    }
    void captureInput(const float* const* channels, std::uint32_t, std::uint32_t frames,
                      std::int64_t) noexcept override {
        captured.insert(captured.end(), channels[0], channels[0] + frames);
        capturedFrames.push_back(frames);
        calls.push_back('c');
    }
    void deliver() override {
        calls.push_back('d');
        if (onDeliver) onDeliver();
    }
};

} // namespace

TEST(VirtualAudioDevice, PeriodsHoldRoundedFrameCountsThatNeverDrift) {
    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual, periodOptions(0.01));
    RecordingClient client;
    device.startOutput(AudioFormat::standard(22050, 1), client);
    for (int k = 0; k < 50; ++k) device.runPeriod();
    ASSERT_EQ(client.renderedFrames.size(), 50u);
    std::int64_t total = 0;
    for (std::size_t k = 0; k < 50; ++k) {
        EXPECT_EQ(client.renderTimes[k], total);
        total += client.renderedFrames[k];
        EXPECT_EQ(total, std::llround(double(k + 1) * 0.01 * 22050)) << "after period " << k + 1;
        EXPECT_TRUE(client.renderedFrames[k] == 220 || client.renderedFrames[k] == 221);
    }
    EXPECT_EQ(device.outputFramesRendered(), total);
    device.stopOutput();

    device.startOutput(AudioFormat::standard(44100, 2), client);
    EXPECT_EQ(device.outputFramesRendered(), 0) << "counted from the stream's start";
    device.runPeriod();
    EXPECT_EQ(client.renderedFrames.back(), 441u);
    EXPECT_EQ(device.periodsRun(), 51u);
}

TEST(VirtualAudioDevice, AdvanceRunsWholePeriodsAndCarriesTheRemainder) {
    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual, periodOptions(0.01));
    RecordingClient client;
    device.startOutput(AudioFormat::standard(16000, 1), client);
    device.advance(15ms);
    EXPECT_EQ(device.periodsRun(), 1u);
    device.advance(4ms);
    EXPECT_EQ(device.periodsRun(), 1u);
    device.advance(1ms);
    EXPECT_EQ(device.periodsRun(), 2u);
    device.advance(1s);
    EXPECT_EQ(device.periodsRun(), 102u);
    EXPECT_EQ(device.outputFramesRendered(), 102 * 160);
    EXPECT_EQ(client.calls[0], 'r');
    EXPECT_EQ(client.calls[1], 'd') << "each period delivers after it rendered";
}

TEST(VirtualAudioDevice, FollowsVirtualTimeOnePeriodAfterTheStartUntilBothStreamsStop) {
    platform::dispatch::VirtualTime time;
    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual, periodOptions(0.01));
    RecordingClient client;
    time.advance(3ms);
    device.startOutput(AudioFormat::standard(16000, 1), client);
    time.advance(9ms);
    EXPECT_EQ(device.periodsRun(), 0u);
    time.advance(1ms);
    EXPECT_EQ(device.periodsRun(), 1u);
    EXPECT_THROW(device.advance(10ms), std::logic_error) << "virtual time drives it";

    device.startInput(client);
    time.advance(20ms);
    EXPECT_EQ(device.periodsRun(), 3u);
    EXPECT_EQ(client.capturedFrames, (std::vector<std::uint32_t>{160, 160})) << "silence at 16 kHz mono by default";
    EXPECT_EQ(client.captured, std::vector<float>(320, 0.0f));
    EXPECT_EQ(std::count(client.calls.begin(), client.calls.end(), 'd'), 3) << "one delivery per period per client";

    device.stopOutput();
    time.advance(10ms);
    EXPECT_EQ(device.periodsRun(), 4u) << "the input still runs";
    device.stopInput();
    time.advance(100ms);
    EXPECT_EQ(device.periodsRun(), 4u);
}

TEST(VirtualAudioDevice, AStreamStoppedWhileDeliveringIsNeverCalledAgain) {
    platform::dispatch::VirtualTime time;
    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual, periodOptions(0.01));
    RecordingClient client;
    client.onDeliver = [&] {
        if (client.renderedFrames.size() == 3) device.stopOutput();
    };
    device.startOutput(AudioFormat::standard(16000, 1), client);
    time.advance(100ms);
    EXPECT_EQ(client.renderedFrames.size(), 3u);
    EXPECT_FALSE(device.isOutputRunning());
    EXPECT_EQ(device.periodsRun(), 3u);
}

TEST(VirtualAudioDevice, WritesWhatItPlaysToAWavFileAndKeepsARecord) {
    testsupport::TempDir dir;
    AudioDeviceOptions options = periodOptions(0.01);
    options.outputWavPath = dir / "played.wav";
    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual, options);
    RecordingClient client;
    device.startOutput(AudioFormat::standard(8000, 2), client);
    device.advance(250ms);
    const std::vector<float> record = device.renderedSamples();
    ASSERT_EQ(record.size(), 2000u);
    for (std::uint32_t f = 0; f < 2000; ++f) ASSERT_EQ(record[f], sampleValue(f, 0, 0));
    device.stopOutput();

    const WavAudio written = readWavFile(dir / "played.wav");
    EXPECT_EQ(written.sampleRate, 8000);
    ASSERT_EQ(written.channelCount, 2u);
    ASSERT_EQ(written.frameCount(), 2000u);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t f = 0; f < 2000; ++f)
            ASSERT_EQ(written.channels[c][f], sampleValue(f, c, 0)) << "channel " << c << " frame " << f;
}

TEST(VirtualAudioDevice, RefusesWhatItCannotDo) {
    testsupport::TempDir dir;
    AudioDeviceOptions options;
    options.inputWavPath = dir / "absent.wav";
    EXPECT_THROW(VirtualAudioDevice(VirtualAudioDevice::Mode::manual, options), AudioError);

    VirtualAudioDevice device(VirtualAudioDevice::Mode::manual);
    RecordingClient client;
    EXPECT_THROW(device.startOutput(AudioFormat(CommonFormat::pcmFormatInt16, 16000, 1, false), client), AudioError);
    device.startOutput(AudioFormat::standard(16000, 1), client);
    EXPECT_THROW(device.startOutput(AudioFormat::standard(16000, 1), client), AudioError) << "one output client";

    VirtualAudioDevice paced(VirtualAudioDevice::Mode::paced);
    EXPECT_EQ(paced.driverName(), "wav");
    EXPECT_EQ(device.driverName(), "virtual");
    EXPECT_THROW(paced.runPeriod(), std::logic_error);
    EXPECT_THROW(paced.advance(10ms), std::logic_error);
}
