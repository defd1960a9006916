#include "audio_test_support.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

using namespace MivoKit;

using namespace audiotest;
using namespace std::chrono_literals;
namespace dispatch = platform::dispatch;

TEST(AudioPlayerNode, ASecondOfAudioCompletesOnMainAfterItsHundredthPeriodAndPlaysUnchanged) {
    VirtualRig rig;
    rig.engine.start();
    auto buffer = patternBuffer(rig.format, 16000, 1);
    int completions = 0;
    bool onMain = false;
    rig.node->scheduleBuffer(buffer, [&] {
        ++completions;
        onMain = dispatch::isMainThread();
    });
    rig.node->play();

    rig.time.advance(990ms);
    EXPECT_EQ(rig.device->periodsRun(), 99u);
    EXPECT_EQ(completions, 0) << "a frame is still to be rendered";
    EXPECT_EQ(rig.node->queuedBufferCount(), 1u);

    rig.time.advance(10ms);
    EXPECT_EQ(rig.device->periodsRun(), 100u);
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(rig.node->queuedBufferCount(), 0u);
    std::vector<float> rendered = rig.device->renderedSamples();
    ASSERT_EQ(rendered.size(), 16000u);
    EXPECT_EQ(rendered, channelSamples(*buffer));

    // Starved: the node plays silence and its timeline keeps going with the sample clock.
    const auto before = rig.node->playerTime(*rig.node->lastRenderTime());
    rig.time.advance(50ms);
    const auto after = rig.node->playerTime(*rig.node->lastRenderTime());
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->sampleTime - before->sampleTime, rig.device->outputFramesRendered() - 16000);
    rendered = rig.device->renderedSamples();
    EXPECT_EQ(std::vector<float>(rendered.begin() + 16000, rendered.end()), std::vector<float>(800, 0.0f));
    EXPECT_EQ(completions, 1);
}

TEST(AudioPlayerNode, TimelineStartsAtTheFirstCycleAfterPlayAndExistsOnlyWhilePlaying) {
    VirtualRig rig;
    EXPECT_FALSE(rig.node->lastRenderTime()) << "the engine is stopped";
    rig.engine.start();
    EXPECT_FALSE(rig.node->lastRenderTime()) << "no cycle yet";
    EXPECT_FALSE(rig.node->playerTime(AudioTime::atSample(0, 16000))) << "not playing";

    rig.time.advance(50ms);
    const auto lastCycle = rig.node->lastRenderTime();
    ASSERT_TRUE(lastCycle);
    EXPECT_EQ(lastCycle->sampleTime + 160, rig.device->outputFramesRendered());
    EXPECT_EQ(lastCycle->sampleRate, 16000);
    EXPECT_FALSE(rig.node->playerTime(*lastCycle));

    rig.node->play();
    const auto beforeFirstCycle = rig.node->playerTime(*lastCycle);
    ASSERT_TRUE(beforeFirstCycle);
    EXPECT_LE(beforeFirstCycle->sampleTime, 0);
    EXPECT_EQ(beforeFirstCycle->sampleTime, lastCycle->sampleTime - rig.device->outputFramesRendered());

    const std::int64_t playedFrom = rig.device->outputFramesRendered();
    rig.time.advance(10ms);
    EXPECT_EQ(rig.node->playerTime(*rig.node->lastRenderTime())->sampleTime, 0);
    rig.time.advance(30ms);
    EXPECT_EQ(rig.node->playerTime(*rig.node->lastRenderTime())->sampleTime,
              rig.node->lastRenderTime()->sampleTime - playedFrom);
    EXPECT_EQ(rig.node->playerTime(AudioTime::atSample(playedFrom - 5, 16000))->sampleTime, -5);

    rig.node->stop();
    EXPECT_FALSE(rig.node->playerTime(*rig.node->lastRenderTime()));
    EXPECT_FALSE(rig.node->isPlaying());

    // A node played before it is connected starts its timeline where it is first rendered.
    auto late = std::make_shared<AudioPlayerNode>();
    rig.engine.attach(late);
    late->play();
    rig.time.advance(50ms);
    rig.engine.connect(late, rig.engine.mainMixerNode(), rig.format);
    const std::int64_t connectedAt = rig.device->outputFramesRendered();
    rig.time.advance(10ms);
    EXPECT_EQ(late->lastRenderTime()->sampleTime, connectedAt);
    EXPECT_EQ(late->playerTime(*late->lastRenderTime())->sampleTime, 0);

    rig.engine.stop();
    EXPECT_FALSE(rig.node->lastRenderTime());
    EXPECT_FALSE(late->lastRenderTime());
}

TEST(AudioPlayerNode, StopRunsEveryPendingCompletionOnceInOrderBeforeItReturns) {
    VirtualRig rig;
    rig.engine.start();
    std::vector<int> order;
    for (int i = 0; i < 3; ++i)
        rig.node->scheduleBuffer(patternBuffer(rig.format, 1600, i), [&, i] { order.push_back(i); });
    rig.node->play();
    rig.time.advance(150ms);
    EXPECT_EQ(order, std::vector<int>{0});

    rig.node->stop();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(rig.node->queuedBufferCount(), 0u);
    rig.time.advance(500ms);
    rig.node->stop();
    rig.node->play();
    rig.time.advance(100ms);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

    // reset() as well, also when a completion stops its own node meanwhile.
    int completionsInStop = 0;
    rig.node->scheduleBuffer(patternBuffer(rig.format, 160, 10), [&] {
        ++completionsInStop;
        rig.node->stop(); // a completion may stop its own node
    });
    rig.node->scheduleBuffer(patternBuffer(rig.format, 160, 11), [&] { ++completionsInStop; });
    rig.node->reset();
    EXPECT_EQ(completionsInStop, 2);
    EXPECT_EQ(order.size(), 3u);
}

TEST(AudioPlayerNode, BuffersPlayBackToBackInOrderAcrossPeriodBoundaries) {
    VirtualRig rig(16000, 2);
    rig.engine.start();
    auto first = patternBuffer(rig.format, 517, 3);
    auto second = patternBuffer(rig.format, 203, 4);
    auto empty = patternBuffer(rig.format, 0, 5);
    std::vector<std::string> completed;
    rig.node->scheduleBuffer(first, [&] { completed.push_back("first"); });
    rig.node->scheduleBuffer(empty, [&] { completed.push_back("empty"); });
    rig.node->scheduleBuffer(second, [&] { completed.push_back("second"); });
    rig.node->play();
    rig.time.advance(40ms);
    EXPECT_EQ(completed, (std::vector<std::string>{"first", "empty"}));
    rig.time.advance(10ms);
    EXPECT_EQ(completed, (std::vector<std::string>{"first", "empty", "second"}));

    std::vector<float> expected = channelSamples(*first);
    const auto tail = channelSamples(*second);
    expected.insert(expected.end(), tail.begin(), tail.end());
    expected.resize(std::size_t(rig.device->outputFramesRendered()), 0.0f);
    EXPECT_EQ(rig.device->renderedSamples(), expected);
}

TEST(AudioPlayerNode, VolumeScalesTheOutputAndZeroIsExactSilenceThatSurvivesReset) {
    VirtualRig rig;
    rig.engine.start();
    rig.node->setVolume(0);
    auto buffer = patternBuffer(rig.format, 1600, 7);
    rig.node->scheduleBuffer(buffer);
    rig.node->play();
    rig.time.advance(100ms);
    for (float sample : rig.device->renderedSamples()) {
        ASSERT_EQ(sample, 0.0f);
        ASSERT_FALSE(std::signbit(sample));
    }

    rig.node->reset();
    EXPECT_EQ(rig.node->volume(), 0.0f);
    rig.node->scheduleBuffer(buffer);
    rig.node->play();
    rig.time.advance(100ms);
    EXPECT_EQ(rig.device->renderedSamples(), std::vector<float>(3200, 0.0f));

    rig.node->setVolume(0.5f);
    EXPECT_EQ(rig.node->volume(), 0.5f);
    rig.node->scheduleBuffer(buffer);
    rig.time.advance(100ms);
    const auto rendered = rig.device->renderedSamples();
    for (std::size_t i = 0; i < 1600; ++i) ASSERT_EQ(rendered[3200 + i], buffer->floatChannelData(0)[i] * 0.5f);

    rig.node->setVolume(3);
    EXPECT_EQ(rig.node->volume(), 1.0f);
    rig.node->setVolume(-1);
    EXPECT_EQ(rig.node->volume(), 0.0f);
}

TEST(AudioPlayerNode, RefusesBuffersOutsideItsConnectionFormat) {
    VirtualRig rig;
    for (const AudioFormat& other : {AudioFormat::standard(44100, 1), AudioFormat::standard(16000, 2)})
        EXPECT_THROW(rig.node->scheduleBuffer(patternBuffer(other, 10, 0)), std::invalid_argument);
    EXPECT_THROW(rig.node->scheduleBuffer(nullptr), std::invalid_argument);
    AudioPlayerNode unconnected;
    EXPECT_THROW(unconnected.scheduleBuffer(patternBuffer(rig.format, 10, 0)), std::invalid_argument);
    EXPECT_EQ(rig.node->queuedBufferCount(), 0u);
    EXPECT_EQ(rig.node->connectionFormat(), rig.format);
}
