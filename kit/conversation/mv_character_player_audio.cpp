// The player's audio: sessions, the recording and playing engines and the switches between them,
// conversation start and stop, the scheduling of conversation audio on the player node, clean-up.

#include "kit/conversation/mv_character_player.hpp"

#include "platform/audio/audio_session.hpp"

namespace MivoKit {

using platform::audio::AudioEngine;
using platform::audio::AudioError;
using platform::audio::AudioSession;
using platform::audio::AudioSessionCategory;
using platform::audio::AudioSessionMode;
using platform::dispatch::Async;
using platform::dispatch::onBackground;
using platform::dispatch::onMain;

void MvCharacterPlayer::reportError(Mivo::PlayerError error) {
    if (auto target = delegate()) target->characterPlayer(*this, error);
}

// ---- sessions ----

void MvCharacterPlayer::configureRecorderAudioSession() {
    try {
        auto& session = AudioSession::sharedInstance();
        session.setCategory(AudioSessionCategory::record);
        session.setActive(true);
    } catch (const AudioError& error) {
        platform::log::print("recorder音频会话配置失败: " + error.localizedDescription());
        reportError(Mivo::PlayerError::activeAudioSessionFailed);
    }
}

void MvCharacterPlayer::configurePlayerAudioSession() {
    try {
        auto& session = AudioSession::sharedInstance();
        session.setCategory(AudioSessionCategory::playback, AudioSessionMode::spokenAudio);
        session.setActive(true);
    } catch (const AudioError& error) {
        platform::log::print("player音频会话配置失败: " + error.localizedDescription());
        reportError(Mivo::PlayerError::activeAudioSessionFailed);
    }
}

// ---- engines ----

void MvCharacterPlayer::setupRecordingEngine() {
    recordingEngine = std::make_shared<AudioEngine>();
    recordingSetupError_.clear();
    auto& input = recordingEngine->inputNode();
    try {
        const auto format = input.outputFormat(0); // the microphone's own format: nothing is converted
        // The tap keeps the player alive until cleanup() removes it.
        input.installTap(0, 1024, format, [player = shared_from_this()](auto buffer, auto when) {
            if (auto target = player->delegate()) target->characterPlayer(*player, buffer, when);
        });
    } catch (const std::exception& error) {
        // No microphone to tap: the engine's start reports it.
        recordingSetupError_ = error.what();
    }
    recordingEngine->prepare();
}

void MvCharacterPlayer::setupPlayingEngine() {
    playingEngine = std::make_shared<AudioEngine>();
    playingSetupError_.clear();
    try {
        playingEngine->attach(playerNode);
        playingEngine->connect(playerNode, playingEngine->mainMixerNode(), audioFormat);
    } catch (const std::exception& error) {
        // A format the node cannot play in: the engine's start reports it.
        playingSetupError_ = error.what();
    }
    playingEngine->prepare();
}

void MvCharacterPlayer::stopRecordingEngine() {
    std::lock_guard lock(recordingStartMutex_);
    ++recordingGeneration_; // a start still on its way must not happen any more
    if (recordingEngine) recordingEngine->stop();
}

void MvCharacterPlayer::stopRunningEngine() {
    if (currentMode == EngineMode::playing && playingEngine) {
        playerNode->stop();
        playingEngine->stop();
    } else if (currentMode == EngineMode::recording) {
        stopRecordingEngine();
    }
}

void MvCharacterPlayer::switchToRecordingEngine() {
    stopRunningEngine();
    currentMode = EngineMode::recording;
    microphoneHeldOff_ = false;
    if (!enableVoiceRecord) return;
    configureRecorderAudioSession();
    if (!recordingEngine) setupRecordingEngine();
    std::uint64_t generation;
    {
        std::lock_guard lock(recordingStartMutex_);
        generation = ++recordingGeneration_;
    }
    platform::dispatch::spawn(startRecordingEngine(weak_from_this(), generation));
}

Async<void> MvCharacterPlayer::startRecordingEngine(std::weak_ptr<MvCharacterPlayer> weakPlayer,
                                                    std::uint64_t generation) {
    const auto player = weakPlayer.lock();
    if (!player) co_return;
    const auto engine = player->recordingEngine; // read on the main queue
    if (!engine) co_return;
    const std::string setupError = player->recordingSetupError_;
    co_await onBackground();
    std::optional<std::string> failure;
    {
        std::lock_guard lock(player->recordingStartMutex_);
        // Playback began or the engine was torn down since this start was asked for.
        if (generation != player->recordingGeneration_) co_return;
        try {
            if (!setupError.empty()) throw AudioError(setupError);
            engine->start();
        } catch (const AudioError& error) {
            failure = error.localizedDescription();
        }
    }
    if (!failure) {
        player->logger.info("切换成录音引擎");
        co_return;
    }
    platform::log::print("引擎启动失败: " + *failure);
    co_await onMain();
    player->reportError(Mivo::PlayerError::startAudioEngineFailed);
}

void MvCharacterPlayer::switchEngine(EngineMode to) {
    if (to != EngineMode::playing) return; // recording is switchToRecordingEngine()
    stopRunningEngine();
    currentMode = EngineMode::playing;
    configurePlayerAudioSession();
    if (!playingEngine) setupPlayingEngine();
    try {
        if (!playingSetupError_.empty()) throw AudioError(playingSetupError_);
        playingEngine->start();
        logger.info("切换成播放引擎");
    } catch (const AudioError& error) {
        platform::log::print("引擎启动失败: " + error.localizedDescription());
        platform::dispatch::postMain([weak = weak_from_this()] {
            if (auto player = weak.lock()) player->reportError(Mivo::PlayerError::startAudioEngineFailed);
        });
    }
}

// ---- conversations ----

void MvCharacterPlayer::appendAudioData(std::span<const std::uint8_t> data, const std::string& conversationId) {
    const auto conversation = currentConversation;
    if (!conversation || conversation->id != conversationId || conversation->receivedAllData()) return;
    conversation->audioData.insert(conversation->audioData.end(), data.begin(), data.end());
    conversation->changed().notify();
    checkConversationReady();
}

void MvCharacterPlayer::appendFrameData(const std::vector<FlameFrameData>& frames, const std::string& conversationId) {
    const auto conversation = currentConversation;
    if (!conversation || conversation->id != conversationId || conversation->receivedAllData()) return;
    conversation->frameDataQueue.insert(conversation->frameDataQueue.end(), frames.begin(), frames.end());
    checkConversationReady();
}

void MvCharacterPlayer::checkConversationReady() {
    if (!currentConversation || currentConversation->frameDataQueue.empty() || currentConversation->audioData.empty() ||
        conversationIsReady)
        return;
    canPlayConversationAudio = true;
    canPlayConversationAnimation = true;
    buildTransition(false);
    setPlaying(true);
}

void MvCharacterPlayer::startConversation(const std::string& id, std::vector<std::uint8_t> audioData,
                                          std::vector<FlameFrameData> frameDataQueue) {
    if (conversationIsReady) stopConversation();
    if (currentConversation) currentConversation->clear();
    currentConversation = std::make_shared<MvCharacterConversation>(
        id, std::move(audioData), std::move(frameDataQueue), true, MvCharacterConversation::EndType::receivedAllData,
        false);
    checkConversationReady();
}

void MvCharacterPlayer::setPlaying(bool playing) {
    if (playing == isAudioPlayerStarted) return;
    isAudioPlayerStarted = playing;
    if (playing) {
        switchEngine(EngineMode::playing);
        playerNode->play();
        playAudioTask = platform::dispatch::spawn(runScheduling(shared_from_this()));
        playbackChanged_.notify();
        if (auto target = delegate()) target->characterPlayerDidStartPlaying(*this);
        return;
    }
    playAudioTask.cancel();
    playAudioTask = {};
    playerNode->stop();
    canPlayConversationAudio = true;
    canPlayConversationAnimation = true;
    if (currentConversation) {
        currentConversation->clear();
        currentConversation.reset();
    }
    playbackChanged_.notify();
    if (auto target = delegate()) target->characterPlayerDidStopPlaying(*this);
}

void MvCharacterPlayer::stopConversation() {
    if (conversationIsReady) {
        buildTransition(true);
    } else if (currentConversation) {
        currentConversation->clear();
        currentConversation.reset();
    }
    setPlaying(false);
}

void MvCharacterPlayer::cleanup() {
    // First, so that going back to idle does not turn the microphone on for an ended session.
    microphoneHeldOff_ = true;
    stopConversation();
    if (recordingEngine) {
        stopRecordingEngine();
        recordingEngine->inputNode().removeTap(0);
        recordingEngine->reset();
        recordingEngine.reset();
    }
    playerNode->stop();
    playerNode->reset();
    if (playingEngine) {
        playingEngine->stop();
        playingEngine->reset();
    }
}

// ---- audio scheduling ----

Async<void> MvCharacterPlayer::runScheduling(std::shared_ptr<MvCharacterPlayer> player) {
    co_await player->scheduleNextAudioBuffer();
}

Async<void> MvCharacterPlayer::scheduleNextAudioBuffer() {
    using platform::dispatch::isCancelled;
    while (true) {
        if (co_await isCancelled()) co_return;
        if (!conversationIsReady && !canPlayConversationAudio) co_return;
        if (!playingEngine || !playingEngine->isRunning()) {
            buildTransition(true);
            setPlaying(false);
            co_return;
        }
        if (!playerNode->isPlaying()) {
            // Started but not playing: wait for playback to change rather than look again at once.
            co_await playbackChanged_.wait(schedulingSafetyPoll);
            continue;
        }
        const auto conversation = currentConversation;
        // Whole 16-bit samples only: an odd byte waits for its other half in the next turn.
        const std::size_t wholeBytes = conversation ? conversation->audioData.size() & ~std::size_t(1) : 0;
        if (wholeBytes > 0) {
            auto& pending = conversation->audioData;
            std::vector<std::uint8_t> bytes(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wholeBytes));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(wholeBytes));
            co_await onBackground();
            auto buffer = bufferProvider.makeAudioBuffer(std::span<const std::uint8_t>(bytes));
            co_await onMain();
            if (co_await isCancelled()) co_return;
            if (!buffer) continue;
            // At most one buffer on the node: the next is scheduled once this one is consumed. The
            // awaiter is made in its own statement so that the lambda is not kept in the frame.
            auto consumed = platform::dispatch::awaitCallback([this, &buffer](std::function<void()> done) {
                playerNode->scheduleBuffer(buffer, std::move(done));
            });
            co_await consumed;
            continue;
        }
        if (!conversation || conversation->endType == MvCharacterConversation::EndType::finishedPlayingAudio ||
            conversation->receivedAllData()) {
            buildTransition(true);
            setPlaying(false);
            co_return;
        }
        // More is to come: wait for audio or the end flag.
        co_await conversation->changed().wait(schedulingSafetyPoll);
    }
}

} // namespace MivoKit
