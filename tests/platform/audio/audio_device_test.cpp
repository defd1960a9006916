#include "audio_test_support.hpp"

#include "platform/audio/wav_file.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

using namespace MivoKit;

using namespace audiotest;
using namespace std::chrono_literals;
namespace dispatch = platform::dispatch;
using testing::HasSubstr;

namespace {

bool printedContaining(const platform::log::Capture& capture, std::string_view a, std::string_view b) {
    const auto lines = capture.printed();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    });
}

// Runs the test's SDL devices on SDL's dummy driver, whatever the machine has.
class ScopedSdlDriver {
public:
    explicit ScopedSdlDriver(const char* name) {
        if (const char* old = std::getenv("SDL_AUDIODRIVER")) old_ = old;
        setenv("SDL_AUDIODRIVER", name, 1);
    }
    ~ScopedSdlDriver() {
        if (old_) setenv("SDL_AUDIODRIVER", old_->c_str(), 1);
        else unsetenv("SDL_AUDIODRIVER");
    }

private:
    std::optional<std::string> old_;
};

} // namespace

TEST(AudioDrivers, TheTableTriesNamedDriversInOrderAndPrintsWhatHappened) {
    const auto drivers = audioDrivers();
    ASSERT_EQ(drivers.size(), 3u);
    EXPECT_EQ(drivers[0].name, "sdl");
    EXPECT_FALSE(drivers[0].onDemandOnly);
    EXPECT_TRUE(drivers[1].onDemandOnly && drivers[2].onDemandOnly);

    platform::log::Capture capture;
    auto device = makeAudioDevice(driverOptions("no-such-driver, virtual,wav"));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->driverName(), "virtual");
    EXPECT_TRUE(printedContaining(capture, "no-such-driver", "failed"));
    EXPECT_TRUE(printedContaining(capture, "virtual", "using"));
    EXPECT_FALSE(printedContaining(capture, "wav", "using"));

    testsupport::TempDir dir;
    auto options = driverOptions("virtual");
    options.inputWavPath = dir / "absent.wav";
    EXPECT_THAT(audioErrorOf([&] { makeAudioDevice(options); }), HasSubstr("absent.wav"));
    EXPECT_TRUE(printedContaining(capture, "virtual", "absent.wav"));

    setSharedAudioDevice(device);
    EXPECT_EQ(sharedAudioDevice(), device);
    EXPECT_EQ(AudioEngine().device(), device);
    setSharedAudioDevice(nullptr);
}

TEST(SdlAudioDevice, AnUnknownSdlBackendFailsWithSdlsOwnText) {
    ScopedSdlDriver driver("no-such-backend");
    platform::log::Capture capture;
    EXPECT_THAT(audioErrorOf([] { makeAudioDevice(driverOptions("sdl")); }), HasSubstr("no-such-backend"));
    EXPECT_TRUE(printedContaining(capture, "sdl", "no-such-backend"));
}

TEST(SdlAudioDevice, PlaysUnderTheDummyDriverAndCompletesOnTheDeliveryThread) {
    ScopedSdlDriver driver("dummy");
    AudioEngine engine(makeAudioDevice(driverOptions("sdl")));
    EXPECT_EQ(engine.device()->driverName(), "sdl");
    const AudioFormat format = AudioFormat::standard(48000, 2);
    auto node = connectedNode(engine, format);
    engine.start();
    EXPECT_TRUE(engine.isRunning());

    std::atomic<int> completions{0};
    std::atomic<bool> onMain{true};
    node->scheduleBuffer(patternBuffer(format, 4800, 1), [&] {
        onMain = dispatch::isMainThread();
        ++completions;
    });
    node->play();
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return completions == 1; }, 20s));
    EXPECT_FALSE(onMain);
    const auto lastCycle = node->lastRenderTime();
    ASSERT_TRUE(lastCycle);
    EXPECT_EQ(lastCycle->sampleRate, 48000);
    EXPECT_GE(node->playerTime(*lastCycle)->sampleTime, 0) << "it completed in or after its first cycle";
    engine.stop();
    EXPECT_FALSE(node->lastRenderTime());
}

TEST(SdlAudioDevice, StopRacingTheDeliveryThreadRunsEveryCompletionExactlyOnce) {
    ScopedSdlDriver driver("dummy");
    auto options = driverOptions("sdl");
    options.periodSeconds = 0.005;
    AudioEngine engine(makeAudioDevice(options));
    const AudioFormat format = AudioFormat::standard(16000, 1);
    auto node = connectedNode(engine, format);
    engine.start();
    for (int round = 0; round < 3; ++round) {
        constexpr int count = 40;
        std::vector<std::atomic<int>> runs(count);
        std::atomic<int> done{0};
        for (int i = 0; i < count; ++i)
            node->scheduleBuffer(patternBuffer(format, 40, i), [&, i] {
                ++runs[i];
                ++done;
            });
        node->play();
        ASSERT_TRUE(dispatch::pumpMainUntil([&] { return done >= 2; }, 20s));
        node->stop();
        for (int i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << "buffer " << i << " of round " << round;
        EXPECT_EQ(node->queuedBufferCount(), 0u);
    }
}

// The delivery thread takes finished buffers off the node while SDL's thread renders the next
// cycle. Buffers of a few frames make every cycle finish dozens of them, and the smallest buffer
// SDL takes at a high rate makes the cycles follow each other with hardly a pause, so the two
// threads work on the same list all the time; ThreadSanitizer or AddressSanitizer reports a
// render that reads an entry the delivery thread may already have freed.
TEST(SdlAudioDevice, ManyShortBuffersCompleteInOrderWhileTheNextCycleRenders) {
    ScopedSdlDriver driver("dummy");
    auto options = driverOptions("sdl");
    options.periodSeconds = 0.0005;
    AudioEngine engine(makeAudioDevice(options));
    const AudioFormat format = AudioFormat::standard(96000, 1);
    auto node = connectedNode(engine, format);
    engine.start();
    constexpr int count = 4000;
    std::atomic<int> nextExpected{0};
    std::atomic<int> outOfOrder{0};
    for (int i = 0; i < count; ++i)
        node->scheduleBuffer(patternBuffer(format, 1 + i % 3, i), [&, i] {
            if (nextExpected.load() != i) ++outOfOrder;
            nextExpected.store(i + 1);
        });
    node->play();
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return nextExpected.load() == count; }, 20s));
    engine.stop();
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(node->queuedBufferCount(), 0u);
}

TEST(SdlAudioDevice, RecordsUnderTheDummyDriver) {
    ScopedSdlDriver driver("dummy");
    AudioEngine engine(makeAudioDevice(driverOptions("sdl")));
    const AudioFormat format = engine.inputNode().outputFormat(0);
    EXPECT_TRUE(format.isValid() && format.isStandard());
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<PCMBuffer>, AudioTime>> tapped;
    engine.inputNode().installTap(0, 1024, format, [&](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
        std::lock_guard lock(mutex);
        tapped.emplace_back(std::move(buffer), when);
    });
    engine.start();
    ASSERT_TRUE(dispatch::pumpMainUntil(
        [&] {
            std::lock_guard lock(mutex);
            return tapped.size() >= 3;
        },
        20s));
    engine.stop();
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < tapped.size(); ++i) {
        EXPECT_EQ(tapped[i].first->format(), format);
        EXPECT_EQ(tapped[i].first->frameLength(), 1024u);
        EXPECT_EQ(tapped[i].second.sampleTime, std::int64_t(i) * 1024);
    }
}

TEST(SdlAudioDevice, AFormatTheDeviceRefusesFailsEngineStartWithSdlsText) {
    ScopedSdlDriver driver("dummy");
    AudioEngine engine(makeAudioDevice(driverOptions("sdl")));
    connectedNode(engine, AudioFormat::standard(48000, 9));
    EXPECT_THAT(audioErrorOf([&] { engine.start(); }), HasSubstr("channels")) << "SDL plays at most 8 channels";
    EXPECT_FALSE(engine.isRunning());
}

TEST(PacedAudioDevice, AtPaceZeroPlaysAsFastAsItCanAndWritesTheFile) {
    testsupport::TempDir dir;
    auto options = driverOptions("wav");
    options.outputWavPath = dir / "out.wav";
    options.pace = 0;
    auto device = makeAudioDevice(options);
    ASSERT_EQ(device->driverName(), "wav");
    AudioEngine engine(device);
    const AudioFormat format = AudioFormat::standard(16000, 1);
    auto node = connectedNode(engine, format);
    auto buffer = patternBuffer(format, 32000, 3);
    std::atomic<bool> done{false};
    std::atomic<bool> onMain{true};
    node->scheduleBuffer(buffer, [&] {
        onMain = dispatch::isMainThread();
        done = true;
    });
    node->play();
    engine.start();
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return done.load(); }, 60s));
    engine.stop();
    EXPECT_FALSE(onMain) << "completions come from the device's own thread";

    auto& paced = dynamic_cast<VirtualAudioDevice&>(*device);
    const WavAudio written = readWavFile(dir / "out.wav");
    EXPECT_EQ(written.sampleRate, 16000);
    ASSERT_EQ(written.frameCount(), std::size_t(paced.outputFramesRendered()));
    ASSERT_GE(written.frameCount(), 32000u);
    for (std::uint32_t f = 0; f < 32000; ++f) ASSERT_EQ(written.channels[0][f], buffer->floatChannelData(0)[f]);
}
