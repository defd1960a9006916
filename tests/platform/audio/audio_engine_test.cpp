#include "audio_test_support.hpp"

#include "platform/audio/wav_file.hpp"
#include "tests/support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace MivoKit;

using namespace audiotest;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

// A stereo microphone recording, shorter than the test so that it repeats.
WavAudio writeMicrophone(const std::filesystem::path& path) {
    const std::uint32_t frames = 3000;
    std::vector<float> interleaved;
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < 2; ++c) interleaved.push_back(sampleValue(f, c, 2));
    WavFileWriter writer(path, 22050, 2);
    writer.writeInterleaved(interleaved.data(), frames);
    writer.close();
    return readWavFile(path);
}

struct Tapped {
    std::shared_ptr<PCMBuffer> buffer;
    AudioTime when;
};

} // namespace

TEST(AudioEngine, TapDeliversWholeBuffersOfTheMicrophonesFormatWithContiguousTimes) {
    testsupport::TempDir dir;
    const WavAudio microphone = writeMicrophone(dir / "mic.wav");
    AudioDeviceOptions options;
    options.inputWavPath = dir / "mic.wav";
    auto device = std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::manual, options);
    AudioEngine engine(device);
    const AudioFormat format = engine.inputNode().outputFormat(0);
    EXPECT_EQ(format, AudioFormat::standard(22050, 2));
    EXPECT_THROW(engine.inputNode().installTap(0, 1024, AudioFormat::standard(16000, 1), [](auto, auto) {}),
                 std::invalid_argument);

    std::vector<Tapped> tapped;
    engine.inputNode().installTap(0, 1024, format, [&](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
        tapped.push_back({std::move(buffer), when});
    });
    EXPECT_TRUE(engine.inputNode().hasTap(0));
    engine.start();
    EXPECT_TRUE(device->isInputRunning());
    EXPECT_FALSE(device->isOutputRunning()) << "nothing is connected to the mixer";
    device->advance(500ms);

    ASSERT_EQ(tapped.size(), std::size_t(device->inputFramesCaptured() / 1024));
    for (std::size_t i = 0; i < tapped.size(); ++i) {
        const PCMBuffer& buffer = *tapped[i].buffer;
        ASSERT_EQ(buffer.format(), format);
        ASSERT_EQ(buffer.frameLength(), 1024u);
        ASSERT_EQ(tapped[i].when.sampleTime, std::int64_t(i * 1024));
        EXPECT_EQ(tapped[i].when.sampleRate, 22050);
        for (std::uint32_t c = 0; c < 2; ++c)
            for (std::uint32_t f = 0; f < 1024; ++f)
                ASSERT_EQ(buffer.floatChannelData(c)[f], microphone.channels[c][(i * 1024 + f) % 3000]);
    }

    // Removed from inside its own block: that call finishes, no other starts.
    const std::size_t before = tapped.size();
    engine.inputNode().removeTap(0);
    engine.inputNode().installTap(0, 1024, format, [&](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
        tapped.push_back({std::move(buffer), when});
        engine.inputNode().removeTap(0);
    });
    engine.stop();
    engine.start();
    device->advance(500ms);
    EXPECT_EQ(tapped.size(), before + 1);
    EXPECT_FALSE(engine.inputNode().hasTap(0));
    EXPECT_EQ(tapped.back().when.sampleTime, 0) << "the input clock restarts with the engine";
}

TEST(AudioEngine, StartFailureCarriesTheDevicesTextAndLeavesTheEngineStopped) {
    testsupport::TempDir dir;
    auto options = driverOptions("wav");
    options.outputWavPath = dir / "missing-folder" / "out.wav";
    AudioEngine engine(makeAudioDevice(options));
    connectedNode(engine, AudioFormat::standard(16000, 1));
    const std::string error = audioErrorOf([&] { engine.start(); });
    EXPECT_THAT(error, HasSubstr("missing-folder"));
    EXPECT_THAT(error, HasSubstr("No such file or directory"));
    EXPECT_FALSE(engine.isRunning());
    EXPECT_FALSE(dynamic_cast<VirtualAudioDevice&>(*engine.device()).isOutputRunning());
}

TEST(AudioEngine, TheMixerKeepsTheFormatOfItsFirstConnection) {
    VirtualRig rig;
    EXPECT_EQ(rig.engine.mainMixerNode().outputFormat(), rig.format);
    auto other = std::make_shared<AudioPlayerNode>();
    EXPECT_THROW(rig.engine.connect(other, rig.engine.mainMixerNode(), rig.format), std::invalid_argument)
        << "not attached";
    rig.engine.attach(other);
    EXPECT_THROW(rig.engine.connect(other, rig.engine.mainMixerNode(), AudioFormat::standard(44100, 1)),
                 std::invalid_argument);
    EXPECT_THROW(rig.engine.connect(other, rig.engine.mainMixerNode(),
                                    AudioFormat(CommonFormat::pcmFormatInt16, 16000, 1, false)),
                 std::invalid_argument);
    AudioEngine elsewhere(rig.device);
    EXPECT_THROW(rig.engine.connect(other, elsewhere.mainMixerNode(), rig.format), std::invalid_argument);

    // Two nodes are summed, each with its own volume.
    rig.engine.connect(other, rig.engine.mainMixerNode(), rig.format);
    auto a = patternBuffer(rig.format, 320, 1), b = patternBuffer(rig.format, 320, 2);
    other->setVolume(0.25f);
    rig.node->scheduleBuffer(a);
    other->scheduleBuffer(b);
    rig.node->play();
    other->play();
    rig.engine.start();
    rig.time.advance(20ms);
    const auto rendered = rig.device->renderedSamples();
    ASSERT_EQ(rendered.size(), 320u);
    for (std::uint32_t i = 0; i < 320; ++i)
        ASSERT_EQ(rendered[i], 0.0f + a->floatChannelData(0)[i] + b->floatChannelData(0)[i] * 0.25f);
}

TEST(AudioEngine, ANodeMovesToANewEngineAndPlaysThere) {
    auto node = std::make_shared<AudioPlayerNode>();
    platform::dispatch::VirtualTime time;
    const AudioFormat format = AudioFormat::standard(16000, 1);
    int completions = 0;
    {
        AudioEngine first(std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::manual, periodOptions(0.01)));
        first.attach(node);
        first.connect(node, first.mainMixerNode(), format);
        first.start();
        node->scheduleBuffer(patternBuffer(format, 800, 1), [&] { ++completions; });
        node->play();
        time.advance(50ms);
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(node->engine(), &first);
    }
    EXPECT_EQ(node->engine(), nullptr);
    EXPECT_FALSE(node->connectionFormat());

    auto device = std::make_shared<VirtualAudioDevice>(VirtualAudioDevice::Mode::manual, periodOptions(0.01));
    AudioEngine second(device);
    AudioEngine third(device);
    second.attach(node);
    third.attach(node); // detaches it from `second`
    EXPECT_EQ(node->engine(), &third);
    third.connect(node, third.mainMixerNode(), format);
    third.start();
    auto buffer = patternBuffer(format, 480, 2);
    node->scheduleBuffer(buffer, [&] { ++completions; });
    EXPECT_TRUE(node->isPlaying());
    time.advance(30ms);
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(device->renderedSamples(), channelSamples(*buffer));

    third.reset();
    EXPECT_FALSE(third.isRunning());
    EXPECT_FALSE(node->isPlaying());
}
