#include "tests/kit/conversation/player_fixture.hpp"

#include "platform/audio/audio_session.hpp"
#include "platform/log/log.hpp"

using namespace MivoKit;

using namespace conversationtest;
using namespace std::chrono_literals;
using EndType = MvCharacterConversation::EndType;

namespace {

// A device that cannot play or record, as a machine without sound hardware.
class RefusingDevice : public platform::audio::AudioDevice {
public:
    std::string_view driverName() const override { return "refusing"; }
    platform::audio::AudioFormat inputFormat() override { throw platform::audio::AudioError("no capture device"); }
    void startOutput(const platform::audio::AudioFormat&, platform::audio::AudioDeviceClient&) override {
        throw platform::audio::AudioError("no playback device");
    }
    void stopOutput() override {}
    void startInput(platform::audio::AudioDeviceClient&) override { throw platform::audio::AudioError("no capture device"); }
    void stopInput() override {}
};

std::vector<std::string> infoLines(const platform::log::Capture& capture) {
    std::vector<std::string> lines;
    for (const auto& e : capture.entries())
        if (e.level == platform::log::Level::info && e.category == "MivoKit") lines.push_back(e.message);
    return lines;
}

} // namespace

TEST_F(VirtualAudioTest, MicrophoneAndPlaybackTakeTurnsAndTheMicrophoneReturnsAfterTheTransitionBack) {
    platform::log::Capture capture;
    auto player = makePlayer(/*enableVoiceRecord*/ true);
    time.advance(100ms);
    player->switchToRecordingEngine();
    time.advance(50ms);
    EXPECT_TRUE(device->isInputRunning());
    EXPECT_FALSE(device->isOutputRunning());
    EXPECT_EQ(events->recordedBuffers.load(), 0); // 800 frames: not yet one 1024-frame buffer
    time.advance(100ms);
    EXPECT_GE(events->recordedBuffers.load(), 1);

    player->startConversation("talk", speech(0.4), conversationFrames(events->rendered.back(), 20));
    EXPECT_FALSE(device->isInputRunning()); // stopped before playback started
    EXPECT_TRUE(device->isOutputRunning());
    EXPECT_EQ(player->currentMode, MvCharacterPlayer::EngineMode::playing);
    bool sawStop = false;
    Nanoseconds micBackAt{};
    for (int step = 0; step < 100 && micBackAt == Nanoseconds{}; ++step) {
        time.advance(10ms);
        EXPECT_FALSE(device->isInputRunning() && device->isOutputRunning()) << "both at " << elapsed().count();
        sawStop = sawStop || events->noticeNames().size() == 2;
        if (sawStop && device->isInputRunning()) micBackAt = time.now();
        // While the face goes back to rest, the microphone stays off.
        if (player->transitionAnimation && player->transitionAnimation->toIdle) {
            EXPECT_FALSE(device->isInputRunning());
        }
    }
    ASSERT_TRUE(sawStop);
    ASSERT_NE(micBackAt, Nanoseconds{});
    // Five transition frames after the stop, 40 ms apart: the last is shown 160 ms after it at the earliest.
    EXPECT_GE(micBackAt - events->timeOf("stop"), 160ms);
    EXPECT_EQ(infoLines(capture), (std::vector<std::string>{"切换成录音引擎", "切换成播放引擎", "切换成录音引擎"}));
    shutDown(player);
}

TEST_F(VirtualAudioTest, TheMicrophoneReturnsWhenNoTransitionCanBeBuiltOnTheWayBack) {
    // No frame is ever published when the point cloud cannot be read; an idle animation without
    // frames gives no frame to go back to.
    Mivo::Character unreadable = character;
    auto paths = unreadable.assetPaths();
    paths.pointCloudModelUrl = std::filesystem::path("/nonexistent/point_cloud.ply");
    unreadable.setAssetPaths(paths);
    Mivo::Character frameless = character;
    frameless.setIdleAnimation(std::make_shared<Mivo::Animation>(
        std::vector<FlameFrameData>{}, character.idleAnimation()->flameVersion, -1, 0.2, true, false));
    const auto frames = conversationFrames(character.idleAnimation()->frames[0], 10);

    for (const Mivo::Character* which : {&unreadable, &frameless}) {
        const bool framesPublished = which == &frameless;
        events = std::make_shared<PlayerEvents>();
        auto player = MvCharacterPlayer::create(*which, platform::audio::AudioFormat::standard(sampleRate, 1), true);
        player->setDelegate(events);
        time.advance(100ms);
        player->switchToRecordingEngine(); // as when the audiovisual service connects
        time.advance(500ms);
        ASSERT_GT(events->recordedBuffers.load(), 0) << framesPublished;

        player->startConversation("reply", speech(0.4), frames);
        ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 2s)) << framesPublished;
        EXPECT_FALSE(player->transitionAnimation);
        EXPECT_FALSE(player->conversationIsReady);
        const int atStop = events->recordedBuffers.load();
        time.advance(2s);
        EXPECT_TRUE(device->isInputRunning()) << framesPublished;
        EXPECT_FALSE(device->isOutputRunning()) << framesPublished;
        EXPECT_GT(events->recordedBuffers.load(), atStop) << framesPublished;
        shutDown(player);
    }
}

TEST_F(VirtualAudioTest, ADeferredMicrophoneStartNeverRunsAfterPlaybackBeganOrAfterCleanUp) {
    auto player = makePlayer(true);
    time.advance(100ms);
    // The recording engine starts on a task of its own; playback begins before that task runs.
    player->switchToRecordingEngine();
    player->startConversation("talk", speech(0.3), conversationFrames(events->rendered.back(), 20));
    time.advance(100ms);
    EXPECT_FALSE(device->isInputRunning());
    EXPECT_EQ(device->inputFramesCaptured(), 0);
    EXPECT_TRUE(device->isOutputRunning());
    shutDown(player);

    auto second = makePlayer(true);
    second->switchToRecordingEngine();
    second->cleanup();
    time.advance(100ms);
    EXPECT_FALSE(device->isInputRunning());
    EXPECT_FALSE(second->recordingEngine);
    shutDown(second);
}

TEST_F(VirtualAudioTest, ALiveConversationWaitsForMoreAudioWithoutSpinningAndPlaysItInOrder) {
    auto player = makePlayer();
    time.advance(100ms);
    auto conversation = std::make_shared<MvCharacterConversation>("live", std::vector<std::uint8_t>{},
                                                                  std::vector<FlameFrameData>{}, false,
                                                                  EndType::receivedAllData, true);
    player->currentConversation = conversation;
    // An odd split: the first piece ends in the middle of a sample.
    auto first = speech(0.2);
    auto second = speech(0.3, 3200);
    std::vector<std::uint8_t> all = first;
    all.insert(all.end(), second.begin(), second.end());
    const std::vector<std::uint8_t> pieceA(all.begin(), all.begin() + 6401);
    const std::vector<std::uint8_t> pieceB(all.begin() + 6401, all.end());

    player->appendFrameData(conversationFrames(events->rendered.back(), 40), "live");
    EXPECT_FALSE(player->conversationIsReady); // frames without audio do not start it
    player->appendAudioData(pieceA, "other");   // not the current conversation: ignored
    EXPECT_TRUE(conversation->audioData.empty());
    player->appendAudioData(pieceA, "live");
    EXPECT_TRUE(player->conversationIsReady);
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start"}));

    // Everything that arrived is played; then the task waits (the advance would never settle if it
    // looked again and again), holding the odd byte back.
    time.advance(1s);
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start"}));
    EXPECT_EQ(conversation->changed().waiterCount(), 1u);
    EXPECT_EQ(conversation->audioData.size(), 1u);
    const auto beforeMore = device->renderedSamples().size();
    const auto framesShownWhileStarved = events->rendered.size();

    player->appendAudioData(pieceB, "live");
    time.advance(100ms);
    conversation->setReceivedAllData(true);
    player->appendAudioData(speech(0.1), "live"); // after the end: ignored
    ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 2s));

    // The render loop kept following the clock while starved.
    EXPECT_GT(framesShownWhileStarved, 25u);
    // Both pieces played in order, whole samples, the gap silent.
    const auto played = device->renderedSamples();
    const auto expectedFirst = expectedSamples(std::vector<std::uint8_t>(all.begin(), all.begin() + 6400));
    const auto expectedRest = expectedSamples(std::vector<std::uint8_t>(all.begin() + 6400, all.end()));
    ASSERT_GE(played.size(), beforeMore + expectedRest.size());
    EXPECT_TRUE(std::equal(expectedFirst.begin(), expectedFirst.end(), played.begin()));
    auto restAt = std::find_if(played.begin() + std::ptrdiff_t(expectedFirst.size()), played.end(),
                               [](float s) { return s != 0; });
    ASSERT_NE(restAt, played.end());
    EXPECT_TRUE(std::all_of(played.begin() + std::ptrdiff_t(expectedFirst.size()), restAt, [](float s) { return s == 0; }));
    EXPECT_TRUE(std::equal(expectedRest.begin(), expectedRest.end(), restAt));
    shutDown(player);
}

TEST_F(VirtualAudioTest, ANodeThatStoppedWhileStartedIsWaitedForNotPolledAtOnce) {
    auto player = makePlayer();
    time.advance(100ms);
    player->startConversation("offline", speech(0.5), conversationFrames(events->rendered.back(), 20));
    time.advance(100ms);
    player->playerNode->stop(); // as if the platform stopped it
    time.advance(1s);           // settles only if the scheduling waits
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start"}));
    EXPECT_TRUE(player->isAudioPlayerStarted);
    player->playerNode->play();
    // The scheduling looks again within its safety poll and plays what is left.
    ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 2s));
    shutDown(player);
}

TEST_F(VirtualAudioTest, ConversationNoticesComeOnceAndCollectingConversationsStopSilently) {
    auto player = makePlayer();
    time.advance(100ms);
    player->currentConversation = std::make_shared<MvCharacterConversation>(
        "collecting", std::vector<std::uint8_t>{}, std::vector<FlameFrameData>{}, false, EndType::receivedAllData, true);
    player->appendFrameData(conversationFrames(events->rendered.back(), 5), "collecting");
    player->stopConversation();
    EXPECT_FALSE(player->currentConversation);
    EXPECT_TRUE(events->noticeNames().empty());

    player->startConversation("offline", speech(1.0), conversationFrames(events->rendered.back(), 30));
    player->setPlaying(true);
    time.advance(200ms);
    player->stopConversation();
    player->setPlaying(false);
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start", "stop"}));
    EXPECT_TRUE(player->transitionAnimation && player->transitionAnimation->toIdle);
    EXPECT_FALSE(player->currentConversation);

    // A new offline conversation replaces a playing one: the old one stops first.
    player->startConversation("a", speech(1.0), conversationFrames(events->rendered.back(), 30));
    time.advance(100ms);
    player->startConversation("b", speech(0.2), conversationFrames(events->rendered.back(), 30));
    EXPECT_EQ(player->currentConversation->id, "b");
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start", "stop", "start", "stop", "start"}));
    shutDown(player);
}

TEST_F(VirtualAudioTest, MuteSilencesPlaybackAndSurvivesCleanUpWhichKeepsThePlayingEngine) {
    auto player = makePlayer(true);
    time.advance(100ms);
    player->playerNode->setVolume(0.0f);
    player->startConversation("muted", speech(0.3), conversationFrames(events->rendered.back(), 20));
    ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 2; }, 10ms, 2s));
    const auto played = device->renderedSamples();
    ASSERT_GE(played.size(), 4800u);
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](float s) { return s == 0; }));

    const auto playingEngine = player->playingEngine;
    player->switchToRecordingEngine();
    time.advance(50ms);
    player->cleanup();
    EXPECT_FALSE(player->recordingEngine);
    EXPECT_EQ(player->playingEngine, playingEngine);
    EXPECT_FALSE(device->isInputRunning());
    EXPECT_FALSE(device->isOutputRunning());
    EXPECT_EQ(player->playerNode->volume(), 0.0f);
    // The render loop goes on with the idle animation.
    const auto shown = events->rendered.size();
    time.advance(200ms);
    EXPECT_GT(events->rendered.size(), shown);
    // The microphone comes back only when switched on again, with a new engine.
    player->switchToRecordingEngine();
    time.advance(50ms);
    EXPECT_TRUE(player->recordingEngine);
    EXPECT_TRUE(device->isInputRunning());
    shutDown(player);
}

TEST_F(VirtualAudioTest, SessionAndEngineFailuresAreReportedAndPlaybackThatCannotStartEnds) {
    auto session = std::make_shared<platform::audio::ScriptedAudioSessionBackend>();
    platform::audio::AudioSession::sharedInstance().setBackend(session);
    platform::log::Capture capture;
    auto player = makePlayer(true);
    time.advance(100ms);

    // A session that cannot be set up is reported, and the switch goes on regardless.
    session->failSetCategory("category refused");
    player->startConversation("one", speech(0.2), conversationFrames(events->rendered.back(), 10));
    EXPECT_TRUE(capture.printedLine("player音频会话配置失败: category refused"));
    ASSERT_TRUE(time.advanceUntil([&] { return events->noticeNames().size() == 3; }, 10ms, 2s));
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"activeAudioSessionFailed", "start", "stop"}));
    shutDown(player);

    // Without a device that plays, the engine's failure is printed and reported from a new main
    // task, and the scheduling ends the conversation.
    events->notices.clear();
    platform::audio::setSharedAudioDevice(std::make_shared<RefusingDevice>());
    auto other = makePlayer(true);
    time.advance(100ms);
    other->startConversation("two", speech(0.2), conversationFrames(events->rendered.back(), 10));
    EXPECT_TRUE(capture.printedLine("引擎启动失败: no playback device"));
    time.advance(20ms);
    EXPECT_EQ(events->noticeNames(), (std::vector<std::string>{"start", "startAudioEngineFailed", "stop"}));
    EXPECT_FALSE(other->conversationIsReady);
    // Back at rest, the microphone is asked for and fails the same way.
    time.advance(300ms);
    EXPECT_EQ(events->noticeNames(),
              (std::vector<std::string>{"start", "startAudioEngineFailed", "stop", "startAudioEngineFailed"}));
    EXPECT_TRUE(capture.printedLine("引擎启动失败: no capture device"));
    shutDown(other);
}
