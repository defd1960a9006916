#include "tests/kit/conversation/player_fixture.hpp"

#include <cmath>
#include <numbers>

using namespace MivoKit;

using namespace conversationtest;
using namespace std::chrono_literals;
using platform::audio::AudioTime;

namespace {

// The blend weight that turns `from` into `blended`, read from the first jaw value.
double weightOf(const FlameFrameData& from, const FlameFrameData& to, const FlameFrameData& blended) {
    return (blended.jaw_pose.at(0) - from.jaw_pose.at(0)) / (to.jaw_pose.at(0) - from.jaw_pose.at(0));
}

} // namespace

TEST(MvCharacterPlayerClock, FrameIndexTruncatesTheSampleClockAndNeverGoesBelowZero) {
    auto index = [](std::int64_t sample, double rate = 16000) { return MvCharacterPlayer::frameIndex(AudioTime::atSample(sample, rate)); };
    EXPECT_EQ(index(16000), 25);
    EXPECT_EQ(index(15999), 24);
    EXPECT_EQ(index(640), 1);
    EXPECT_EQ(index(639), 0);
    EXPECT_EQ(index(0), 0);
    EXPECT_EQ(index(-1), 0);
    EXPECT_EQ(index(std::numeric_limits<std::int64_t>::min(), 1e-300), 0);
    EXPECT_EQ(index(44100, 44100), 25);
    // A clock without a positive rate has no time to give.
    EXPECT_EQ(index(16000, 0), std::nullopt);
    EXPECT_EQ(index(16000, -16000), std::nullopt);
    EXPECT_EQ(index(16000, std::nan("")), std::nullopt);
    EXPECT_EQ(index(std::numeric_limits<std::int64_t>::max(), 1e-300), std::nullopt);
}

TEST_F(VirtualAudioTest, IdleFramesPlayInOrderOneEvery40Milliseconds) {
    const auto& idle = character.idleAnimation()->frames;
    ASSERT_GE(idle.size(), 10u);
    const auto firstIndex = character.idleAnimation()->currentIndex + 1;
    auto player = makePlayer();
    time.advance(200ms);
    // The first wait does not sleep, so the first two frames come at once, then one every 40 ms.
    ASSERT_EQ(events->rendered.size(), 7u);
    for (std::size_t i = 0; i < events->rendered.size(); ++i)
        EXPECT_TRUE(sameFrame(events->rendered[i], idle[std::size_t(firstIndex) + i])) << i;
    EXPECT_EQ(events->notices[0].at, start);
    EXPECT_EQ(events->notices[1].at, start);
    for (std::size_t i = 2; i < events->notices.size(); ++i) EXPECT_EQ(events->notices[i].at - events->notices[i - 1].at, 40ms);
    EXPECT_EQ(character.idleAnimation()->currentIndex, firstIndex + 6);
    ASSERT_TRUE(player->currentVideoFrame());
    EXPECT_FALSE(player->currentVideoFrame()->buffer().points.empty());
    shutDown(player);
}

TEST_F(VirtualAudioTest, ConversationPlaysByTheAudioClockBetweenTransitionsAndIdleResumesWhereItStood) {
    auto player = makePlayer();
    time.advance(100ms); // idle frames 0..3 (at 0, 0, 40, 80 ms)
    const auto idleIndexBefore = character.idleAnimation()->currentIndex;
    const FlameFrameData lastIdle = events->rendered.back();
    const auto audio = speech(1.0);
    const auto frames = conversationFrames(lastIdle, 30);
    const std::size_t firstConversationRender = events->rendered.size();
    player->startConversation("offline", audio, frames);
    const Nanoseconds startedAt = elapsed();

    // Into the conversation: five frames from the face shown to the conversation's first frame.
    ASSERT_TRUE(player->transitionAnimation);
    EXPECT_TRUE(player->conversationIsReady);
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start"}));
    ASSERT_EQ(player->transitionAnimation->frames.size(), 5u);
    const double expectedWeights[] = {0, 0.0955, 0.3455, 0.6545, 0.9045};
    for (int i = 0; i < 5; ++i)
        EXPECT_NEAR(weightOf(lastIdle, frames[0], player->transitionAnimation->frames[i]), expectedWeights[i], 1e-4);

    ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 3s));
    // 1 s of speech at 16 kHz: consumed after exactly 100 periods of 10 ms.
    EXPECT_EQ(events->timeOf("stop") - events->timeOf("start"), 1s);
    EXPECT_EQ(events->timeOf("start"), start + startedAt);
    time.advance(300ms);

    std::vector<FlameFrameData> shown(events->rendered.begin() + std::ptrdiff_t(firstConversationRender), events->rendered.end());
    std::vector<Nanoseconds> shownAt;
    for (std::size_t i = firstConversationRender; i < events->notices.size(); ++i)
        if (events->notices[i].what == "render") shownAt.push_back(events->notices[i].at - start - startedAt);
    ASSERT_EQ(shown.size(), shownAt.size());
    // The transition in, then conversation frames that follow the clock (never more than one frame
    // from it, never backwards), then the transition out, then idle from where it stood.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(sameFrame(shown[i], blendFlameFrames(lastIdle, frames[0], i / 5.0))) << i;
    std::size_t next = 5;
    int previous = -1;
    const Nanoseconds stoppedAt = events->timeOf("stop") - start - startedAt;
    for (; next < shown.size() && shownAt[next] < stoppedAt; ++next) {
        const int number = conversationFrameNumber(shown[next]);
        ASSERT_TRUE(number >= 0 && sameFrame(shown[next], frames[std::size_t(number)])) << next;
        const double clockFrame = std::chrono::duration<double>(shownAt[next]).count() * 25.0;
        EXPECT_LE(std::abs(number - clockFrame), 1.0) << "frame " << number << " shown at " << shownAt[next].count();
        EXPECT_GE(number, previous);
        previous = number;
    }
    EXPECT_GE(previous, 23); // the conversation was followed to its end
    ASSERT_GE(shown.size(), next + 7);
    const FlameFrameData lastConversation = shown[next - 1];
    const auto& idle = character.idleAnimation()->frames;
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(sameFrame(shown[next + i], blendFlameFrames(lastConversation, idle[0], i / 5.0))) << i;
    EXPECT_TRUE(sameFrame(shown[next + 5], idle[std::size_t(idleIndexBefore + 1)]));
    EXPECT_FALSE(player->currentConversation);
    EXPECT_FALSE(player->conversationIsReady);

    // What the device played: the speech, sample for sample, then silence.
    const auto played = device->renderedSamples();
    const auto expected = expectedSamples(audio);
    ASSERT_GE(played.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    EXPECT_TRUE(std::all_of(played.begin() + std::ptrdiff_t(expected.size()), played.end(), [](float s) { return s == 0; }));
    shutDown(player);
}

TEST_F(VirtualAudioTest, WithoutAPublishedFrameOrAWholeTransitionFrameTheFaceGoesStraightOver) {
    // Ready before the first turn: no frame to start from, so conversation frames at once.
    auto player = makePlayer();
    const auto frames = conversationFrames(character.idleAnimation()->frames[0], 40);
    player->startConversation("first", speech(0.5), frames);
    EXPECT_FALSE(player->transitionAnimation);
    EXPECT_TRUE(player->conversationIsReady);
    time.advance(100ms);
    ASSERT_FALSE(events->rendered.empty());
    EXPECT_EQ(conversationFrameNumber(events->rendered.front()), 0);
    shutDown(player);

    // A duration shorter than a frame, negative or not a number builds no transition either way.
    for (double duration : {0.01, -1.0, std::nan("")}) {
        events = std::make_shared<PlayerEvents>();
        character.idleAnimation()->transitionDuration = duration;
        auto other = makePlayer();
        time.advance(100ms);
        other->startConversation("short", speech(0.2), frames);
        EXPECT_FALSE(other->transitionAnimation) << duration;
        EXPECT_TRUE(other->conversationIsReady);
        ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 2s)) << duration;
        EXPECT_FALSE(other->transitionAnimation);
        EXPECT_FALSE(other->conversationIsReady);
        const auto shownBefore = events->rendered.size();
        time.advance(80ms);
        EXPECT_GT(events->rendered.size(), shownBefore); // the idle animation goes on
        EXPECT_EQ(conversationFrameNumber(events->rendered.back()), -1);
        shutDown(other);
    }
}

TEST_F(VirtualAudioTest, ATransitionReplacedDuringTheLastFramesRenderIsNotClearedByTheOldTurn) {
    auto player = makePlayer();
    time.advance(100ms);
    player->startConversation("one", speech(1.0), conversationFrames(events->rendered.back(), 30));
    const auto first = player->transitionAnimation;
    ASSERT_TRUE(first);
    std::shared_ptr<Mivo::Animation> replacement;
    events->onRender = [&](MvCharacterPlayer& p) {
        // The old transition's last frame was just published; its turn is not over yet.
        if (!replacement && p.transitionAnimation == first && first->currentIndex == 4) {
            replacement = std::make_shared<Mivo::Animation>(first->frames, first->flameVersion, -1, 0.2, true, false);
            p.transitionAnimation = replacement;
        }
    };
    time.advance(400ms);
    ASSERT_TRUE(replacement);
    // The replacement was played from its start, not dropped by the old turn's bookkeeping.
    EXPECT_GE(replacement->currentIndex, 0);
    EXPECT_NE(player->transitionAnimation, first);
    shutDown(player);
}

TEST_F(VirtualAudioTest, AFailedFrameIsSkippedSilentlyAndTheNextTurnsGoOn) {
    Mivo::Character broken = character;
    auto paths = broken.assetPaths();
    paths.pointCloudModelUrl = std::filesystem::path("/nonexistent/point_cloud.ply");
    broken.setAssetPaths(paths);
    const auto indexBefore = character.idleAnimation()->currentIndex;
    auto player = MvCharacterPlayer::create(broken, platform::audio::AudioFormat::standard(sampleRate, 1), false);
    player->setDelegate(events);
    time.advance(200ms);
    EXPECT_TRUE(events->notices.empty());
    EXPECT_FALSE(player->currentVideoFrame());
    // The idle animation still advanced once per turn.
    EXPECT_EQ(character.idleAnimation()->currentIndex, indexBefore + 7);
    shutDown(player);
}
