#include "tests/kit/conversation/manager_fixture.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "platform/log/log.hpp"

#include <cmath>
#include <map>

using namespace MivoKit;

using namespace conversationtest;
using namespace std::chrono_literals;
using ErrorType = Mivo::Error::ErrorType;

namespace {

std::vector<std::string> managerLog(const platform::log::Capture& capture) {
    std::vector<std::string> lines;
    for (const auto& e : capture.entries())
        if (e.category == "MivoKit" && e.subsystem == platform::log::kitBundleIdentifier) lines.push_back(e.message);
    return lines;
}

} // namespace

TEST_F(ManagerTest, ValidationNamesTheFirstProblemOnly) {
    EXPECT_EQ(MvCharacterManager::validationProblem(character), std::nullopt);
    // All camera values zero but an empty identifier: only the identifier is named.
    Mivo::Character noId("", "1.0", Mivo::CameraSettings(0, 0, 0, 0, 0), "synthetic");
    EXPECT_EQ(MvCharacterManager::validationProblem(noId), ErrorType::characterIdWrong);
    Mivo::Character zeroCamera("synthetic", "1.0", Mivo::CameraSettings(0, -0.0f, 0, 0, 0), "synthetic");
    EXPECT_EQ(MvCharacterManager::validationProblem(zeroCamera), ErrorType::characterCameraSettingsWrong);
    Mivo::Character nanCamera("synthetic", "1.0", Mivo::CameraSettings(0, std::nanf(""), 0, 0, 0), "synthetic");
    EXPECT_EQ(MvCharacterManager::validationProblem(nanCamera), std::nullopt);
    for (int missing = 0; missing < 3; ++missing) {
        Mivo::Character lacking = character;
        auto paths = lacking.assetPaths();
        (missing == 0 ? paths.idleFramesUrl : missing == 1 ? paths.pointCloudModelUrl : paths.shapeJsonUrl).reset();
        lacking.setAssetPaths(paths);
        EXPECT_EQ(MvCharacterManager::validationProblem(lacking), ErrorType::characterAssetsMissing) << missing;
    }
    // Nothing is refused: the manager works, its states untouched.
    auto manager = makeManager(Mivo::DriveServiceType::none);
    auto broken = MvCharacterManager::create(noId, Mivo::DriveServiceType::audiovisual,
                                             platform::audio::AudioFormat::standard(sampleRate, 1));
    EXPECT_EQ(broken->conversationState(), Mivo::ConversationState::idle);
    finish(broken);
    finish(manager);
}

TEST_F(ManagerTest, DriveTypeNoneStartsNothingButLocalPlaybackPlaysAndNamesItsConversation) {
    auto manager = makeManager(Mivo::DriveServiceType::none);
    EXPECT_FALSE(manager->characterService());
    manager->start();
    EXPECT_EQ(manager->conversationState(), Mivo::ConversationState::idle);
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::disconnected);

    // Before any socket opened: not verified, code 1001, before the data is looked at.
    manager->sendAudioData({});
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"error:1001"}));
    MivoSDK::shared().setIsVerified(true);
    manager->sendAudioData({});
    EXPECT_EQ(managerEvents->named("error:"), (std::vector<std::string>{"error:1001", "error:1008"}));
    EXPECT_FALSE(manager->currentConversationId());
    manager->sendAudioData(speech(0.1));
    ASSERT_TRUE(manager->currentConversationId());
    EXPECT_EQ(manager->currentConversationId()->size(), 36u);
    EXPECT_EQ(manager->displayCurrentConversationId(), manager->currentConversationId());
    EXPECT_FALSE(manager->characterPlayer()->currentConversation); // drive type none: the player is not touched

    time.advance(100ms);
    const auto audio = speech(0.6);
    manager->start(audio, conversationFrames(character.idleAnimation()->frames[0], 20));
    const auto localId = manager->currentConversationId();
    EXPECT_NE(localId, std::nullopt);
    EXPECT_EQ(manager->conversationState(), Mivo::ConversationState::active);
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    EXPECT_EQ(manager->displayCurrentConversationId(), localId);
    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 2s));
    EXPECT_FALSE(manager->displayCurrentConversationId());
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::disconnected);
    EXPECT_EQ(managerEvents->named("player:"), (std::vector<std::string>{"player:playing", "player:idle"}));
    EXPECT_EQ(managerEvents->named("conversation:"), (std::vector<std::string>{"conversation:active"}));
    const auto played = device->renderedSamples();
    const auto expected = expectedSamples(audio);
    ASSERT_GE(played.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    finish(manager);
}

TEST_F(ManagerTest, EachObservableFieldTellsItsObserversOfAChangeAndNotOfTheSameValue) {
    auto manager = makeManager(Mivo::DriveServiceType::animation);
    std::map<std::string, int> heard;
    auto count = [&heard](std::string field) { return [&heard, field](const auto&, const auto&) { ++heard[field]; }; };
    auto current = manager->observedCurrentConversationId().onChange(count("current"));
    auto display = manager->observedDisplayCurrentConversationId().onChange(count("display"));
    auto eyes = manager->observedEyeTrackingLogic().onChange(count("eyes"));
    auto recorded = manager->observedRecordedAudioBuffer().onChange(count("recorded"));
    auto service = manager->observedCharacterService().onChange(count("service"));
    auto delegate = manager->observedDelegate().onChange(count("delegate"));

    // Local playback names its conversation; the interruption clears the current identifier, the
    // stop notice the displayed one; a second interruption changes neither.
    manager->start(speech(0.2), conversationFrames(character.idleAnimation()->frames[0], 10));
    manager->interrupt();
    manager->interrupt();
    EXPECT_FALSE(manager->currentConversationId());
    EXPECT_FALSE(manager->displayCurrentConversationId());

    const auto logic = std::make_shared<EyeTrackingLogic>(simd::float3{0, 0, 1}, simd::float3{0, 0, 0});
    manager->setEyeTrackingLogic(logic);
    manager->setEyeTrackingLogic(logic);
    EXPECT_EQ(manager->characterPlayer()->eyeTrackingLogic(), logic);
    manager->setEyeTrackingLogic(nullptr);

    // The audio input thread's copy follows the observed value.
    manager->setRecordedAudioBuffer([](const auto&, const auto&) {});
    EXPECT_TRUE(manager->recordedAudioBuffer());
    manager->setRecordedAudioBuffer({});
    manager->setRecordedAudioBuffer({});
    EXPECT_FALSE(manager->recordedAudioBuffer());

    manager->observedCharacterService().set(manager->characterService());

    auto other = std::make_shared<ManagerEvents>();
    manager->setDelegate(managerEvents);
    manager->setDelegate(other);
    manager->setDelegate(other);
    EXPECT_EQ(manager->delegate(), other);
    manager->setDelegate(managerEvents);

    EXPECT_EQ(heard, (std::map<std::string, int>{{"current", 2}, {"display", 2}, {"eyes", 2}, {"recorded", 2},
                                                 {"delegate", 2}}));
    finish(manager);
}

TEST_F(ManagerTest, MuteTogglesTheNodeVolumeAndMutedPlaybackIsSilent) {
    auto manager = makeManager(Mivo::DriveServiceType::none);
    const auto& player = manager->characterPlayer();
    manager->togglePlayerMute();
    EXPECT_EQ(player->playerNode->volume(), 0.0f);
    EXPECT_TRUE(player->isMuted);
    time.advance(100ms);
    manager->start(speech(0.3), conversationFrames(character.idleAnimation()->frames[0], 10));
    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 2s));
    const auto played = device->renderedSamples();
    EXPECT_GE(played.size(), 4800u);
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](float s) { return s == 0; }));
    manager->togglePlayerMute();
    EXPECT_EQ(player->playerNode->volume(), 1.0f);
    EXPECT_FALSE(player->isMuted);
    finish(manager);
}

TEST_F(ManagerTest, ErrorsWhilePlayingFollowTheDowngradePlanReadAtThatMoment) {
    auto manager = makeManager(Mivo::DriveServiceType::none);
    time.advance(100ms);
    auto playLocally = [&] {
        manager->start(speech(1.0), conversationFrames(character.idleAnimation()->frames[0], 30));
        time.advance(300ms);
        ASSERT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    };
    auto& sdk = MivoSDK::shared();
    auto setPlan = [&](MivoSDK::DowngradePlan plan) {
        sdk.update(MivoSDK::Configuration(plan, std::nullopt, ""));
    };

    // Keep the audio, show the idle animation.
    setPlan(MivoSDK::DowngradePlan::playAudioWithIdleAnimation);
    playLocally();
    const auto idleIndex = character.idleAnimation()->currentIndex;
    manager->handleServiceEvent(MvCharacterServiceEvent::RequestTimeout{});
    EXPECT_FALSE(manager->characterPlayer()->canPlayConversationAnimation);
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    time.advance(200ms);
    // Idle frames while the audio plays on.
    EXPECT_GT(character.idleAnimation()->currentIndex, idleIndex);
    EXPECT_EQ(conversationFrameNumber(manager->characterPlayer()->currentVideoFrame()->flameFrameData()), -1);
    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 2s));
    EXPECT_TRUE(manager->characterPlayer()->canPlayConversationAnimation); // reset by the stop

    // The plan none stops the conversation at once.
    setPlan(MivoSDK::DowngradePlan::none);
    playLocally();
    manager->handleServiceEvent(MvCharacterServiceEvent::RequestTimeout{});
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::idle);
    EXPECT_TRUE(manager->characterPlayer()->transitionAnimation);

    // A service error stops the conversation before the report, so no plan applies.
    setPlan(MivoSDK::DowngradePlan::playAudioWithIdleAnimation);
    playLocally();
    manager->handleServiceEvent(MvCharacterServiceEvent::Error{"boom"});
    EXPECT_FALSE(manager->currentConversationId());
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::idle);
    EXPECT_TRUE(manager->characterPlayer()->canPlayConversationAnimation);
    // While idle, errors are reported and nothing else happens.
    manager->handleServiceEvent(MvCharacterServiceEvent::Error{"again"});
    EXPECT_EQ(managerEvents->named("error:"), (std::vector<std::string>{"error:1009", "error:1009", "error:1005", "error:1005"}));
    finish(manager);
}

TEST_F(ManagerTest, EventsOfOtherConversationsAreDroppedSilentlyAndTheEndClosesTheConversation) {
    platform::log::Capture capture;
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    MivoSDK::shared().setIsVerified(true);
    time.advance(100ms);
    manager->sendAudioData(speech(0.2)); // not connected: nothing reaches a server
    const std::string id = *manager->currentConversationId();
    std::string nearly = id;
    nearly.back() = nearly.back() == 'A' ? 'B' : 'A';
    const auto& player = manager->characterPlayer();
    ASSERT_TRUE(player->currentConversation);

    using Event = MvCharacterServiceEvent;
    const std::size_t linesBefore = managerLog(capture).size();
    manager->handleServiceEvent(Event::AudioData{speech(0.1), nearly});
    manager->handleServiceEvent(Event::AnimationFrames{conversationFrames(character.idleAnimation()->frames[0], 3), nearly});
    manager->handleServiceEvent(Event::ResponseEnd{nearly});
    EXPECT_TRUE(managerEvents->notices.empty());
    EXPECT_EQ(managerLog(capture).size(), linesBefore);
    EXPECT_TRUE(player->currentConversation->audioData.empty());

    manager->handleServiceEvent(Event::ResponseStart{id});
    manager->handleServiceEvent(Event::AudioData{{}, id}); // zero bytes: appended, passed on, logged as an error
    manager->handleServiceEvent(Event::AudioData{speech(0.4), id});
    manager->handleServiceEvent(Event::AnimationFrames{conversationFrames(character.idleAnimation()->frames[0], 10), id});
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    manager->handleServiceEvent(Event::ResponseEnd{id});
    EXPECT_FALSE(manager->currentConversationId());
    EXPECT_TRUE(player->currentConversation->receivedAllData());
    manager->handleServiceEvent(Event::AudioData{speech(0.1), id}); // after the end: dropped
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"audio:0", "audio:12800", "player:playing", "frames:10"}));

    std::vector<std::pair<platform::log::Level, std::string>> lines;
    for (const auto& e : capture.entries())
        if (e.category == "MivoKit") lines.push_back({e.level, e.message});
    using L = platform::log::Level;
    const std::vector<std::pair<L, std::string>> expected{
        {L::debug, "服务器响应开始 reqId: " + id},
        {L::error, "收到音频数据 0 reqId: " + id},
        {L::info, "收到音频数据 12800 reqId: " + id},
        {L::info, "切换成播放引擎"},
        {L::error, "数字人开始播放"},
        {L::info, "收到动画帧数据 10 reqId: " + id},
        {L::debug, "服务器响应结束 reqId: " + id},
    };
    EXPECT_EQ(std::vector(lines.end() - std::ptrdiff_t(expected.size()), lines.end()), expected);

    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 2s));
    EXPECT_FALSE(manager->displayCurrentConversationId());
    finish(manager);
}

TEST_F(ManagerTest, AnInterruptedConversationTakesNoMoreDataButErrorsAndTimeoutsStillCount) {
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    MivoSDK::shared().setIsVerified(true);
    time.advance(100ms);
    manager->sendAudioData(speech(0.2));
    const std::string id = *manager->currentConversationId();
    using Event = MvCharacterServiceEvent;
    manager->handleServiceEvent(Event::AudioData{speech(1.0), id});
    manager->handleServiceEvent(Event::AnimationFrames{conversationFrames(character.idleAnimation()->frames[0], 25), id});
    time.advance(200ms);
    manager->interrupt();
    EXPECT_FALSE(manager->currentConversationId());
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::idle);
    const auto noticesAfterInterrupt = managerEvents->notices;
    manager->handleServiceEvent(Event::ResponseStart{id});
    manager->handleServiceEvent(Event::AudioData{speech(0.5), id});
    manager->handleServiceEvent(Event::AnimationFrames{conversationFrames(character.idleAnimation()->frames[0], 5), id});
    manager->handleServiceEvent(Event::ResponseEnd{id});
    EXPECT_EQ(managerEvents->notices, noticesAfterInterrupt);
    EXPECT_FALSE(manager->characterPlayer()->currentConversation);
    manager->handleServiceEvent(Event::RequestTimeout{});
    manager->handleServiceEvent(Event::Error{"late"});
    EXPECT_EQ(managerEvents->named("error:"), (std::vector<std::string>{"error:1009", "error:1005"}));
    finish(manager);
}

TEST_F(ManagerTest, PlayerErrorsAreReportedEveryTimeAndReplacingAPlayingUtteranceKeepsItsDisplayId) {
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    auto& player = *manager->characterPlayer();
    manager->characterPlayer(player, Mivo::PlayerError::startAudioEngineFailed);
    manager->characterPlayer(player, Mivo::PlayerError::startAudioEngineFailed);
    manager->characterPlayer(player, Mivo::PlayerError::activeAudioSessionFailed);
    EXPECT_EQ(managerEvents->named("error:"), (std::vector<std::string>{"error:1007", "error:1007", "error:1006"}));
    EXPECT_EQ(manager->playerError(), Mivo::PlayerError::activeAudioSessionFailed);

    MivoSDK::shared().setIsVerified(true);
    time.advance(100ms);
    manager->sendAudioData(speech(0.2));
    const std::string first = *manager->currentConversationId();
    manager->handleServiceEvent(MvCharacterServiceEvent::AudioData{speech(1.0), first});
    manager->handleServiceEvent(
        MvCharacterServiceEvent::AnimationFrames{conversationFrames(character.idleAnimation()->frames[0], 25), first});
    time.advance(200ms);
    ASSERT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    manager->sendAudioData(speech(0.2));
    const std::string second = *manager->currentConversationId();
    EXPECT_NE(first, second);
    // The first conversation's stop notice came after the second was named; the display names the second.
    EXPECT_EQ(manager->displayCurrentConversationId(), second);
    EXPECT_EQ(manager->characterPlayer()->currentConversation->id, second);
    finish(manager);
}

TEST_F(ManagerTest, DroppingTheManagerWithoutCloseEndsThePlayersLoopAndAudio) {
    std::weak_ptr<MvCharacterPlayer> player;
    {
        auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
        player = manager->characterPlayer();
        time.advance(100ms);
        manager->characterPlayer()->switchToRecordingEngine();
        time.advance(100ms);
        ASSERT_TRUE(device->isInputRunning());
        manager->start(speech(0.2), conversationFrames(character.idleAnimation()->frames[0], 10));
        time.advance(50ms);
    }
    time.advance(200ms);
    // The render loop ended and the microphone tap was removed: nothing holds the player.
    EXPECT_TRUE(player.expired());
    EXPECT_FALSE(device->isInputRunning());
    EXPECT_FALSE(device->isOutputRunning());
    // No notice reached the application from the clean-up.
    EXPECT_FALSE(managerEvents->has("player:idle"));
}
