// What the manager does with its service's connection notices and events, with its player's
// notices, and with errors (the single road to the application, with the downgrade plan).

#include "kit/conversation/mv_character_manager.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/model/overloaded.hpp"

namespace MivoKit {

using Event = MvCharacterServiceEvent;

void MvCharacterManager::serviceConnectionChanged(bool connected) {
    if (connected) {
        if (driveServiceType_ == Mivo::DriveServiceType::audiovisual) characterPlayer_->switchToRecordingEngine();
        setConnectionState(Mivo::ConnectionState::connected);
        setConversationState(Mivo::ConversationState::active);
        logger_.debug("服务器已连接");
    } else {
        characterPlayer_->cleanup();
        setConnectionState(Mivo::ConnectionState::disconnected);
        setConversationState(Mivo::ConversationState::idle);
        logger_.debug("服务器断开连接");
    }
}

bool MvCharacterManager::isCurrent(const std::string& requestId) const {
    return currentConversationId() == requestId;
}

void MvCharacterManager::handleServiceEvent(const MvCharacterServiceEvent& event) {
    auto& player = *characterPlayer_;
    std::visit(
        Overloaded{
            [&](const Event::ResponseStart& start) {
                if (!isCurrent(start.reqId)) return;
                if (player.currentConversation) player.currentConversation->setReceivedAllData(false);
                logger_.debug("服务器响应开始 reqId: " + start.reqId);
            },
            [&](const Event::ResponseEnd& end) {
                if (!isCurrent(end.reqId)) return;
                currentConversationId_.set(std::nullopt);
                if (player.currentConversation) player.currentConversation->setReceivedAllData(true);
                logger_.debug("服务器响应结束 reqId: " + end.reqId);
            },
            [&](const Event::AudioData& audio) {
                if (!isCurrent(audio.reqId)) return;
                player.appendAudioData(audio.data, audio.reqId);
                if (auto target = delegate()) target->characterManager(*this, audio.data);
                const std::string line = "收到音频数据 " + std::to_string(audio.data.size()) + " reqId: " + audio.reqId;
                if (audio.data.empty()) logger_.error(line);
                else logger_.info(line);
            },
            [&](const Event::AnimationFrames& animation) {
                if (!isCurrent(animation.reqId)) return;
                player.appendFrameData(animation.frames, animation.reqId);
                if (auto target = delegate()) target->characterManager(*this, animation.frames);
                const std::string line =
                    "收到动画帧数据 " + std::to_string(animation.frames.size()) + " reqId: " + animation.reqId;
                if (animation.frames.empty()) logger_.error(line);
                else logger_.info(line);
            },
            [&](const Event::Error& error) {
                logger_.error("webscoket收到错误 " + error.message);
                currentConversationId_.set(std::nullopt);
                player.stopConversation();
                reportError(Mivo::Error::ErrorType::serviceError);
            },
            [&](const Event::RequestTimeout&) {
                logger_.error("请求超时");
                reportError(Mivo::Error::ErrorType::requestTimeout);
            },
        },
        static_cast<const MvCharacterServiceEvent::variant&>(event));
}

void MvCharacterManager::reportError(Mivo::Error::ErrorType type) {
    const Mivo::Error error(type);
    if (auto target = delegate()) target->characterManager(*this, error);
    if (playerState_ != Mivo::PlayerState::playing) return;
    switch (MivoSDK::shared().configuration().downgradePlan) {
    case MivoSDK::DowngradePlan::playAudioWithIdleAnimation:
        characterPlayer_->canPlayConversationAnimation = false;
        break;
    case MivoSDK::DowngradePlan::none:
        characterPlayer_->stopConversation();
        break;
    }
}

// ---- the player's notices ----

void MvCharacterManager::characterPlayer(MvCharacterPlayer&, const std::shared_ptr<platform::audio::PCMBuffer>& buffer,
                                         const platform::audio::AudioTime& time) {
    if (auto callback = recordedAudioBuffer()) callback(buffer, time);
}

void MvCharacterManager::characterPlayerDidStartPlaying(MvCharacterPlayer&) {
    logger_.error("数字人开始播放");
    setPlayerState(Mivo::PlayerState::playing);
}

void MvCharacterManager::characterPlayerDidStopPlaying(MvCharacterPlayer&) {
    logger_.error("数字人停止播放");
    setPlayerState(Mivo::PlayerState::idle);
    displayCurrentConversationId_.set(std::nullopt);
}

void MvCharacterManager::characterPlayerDidRenderFrame(MvCharacterPlayer&) {}

void MvCharacterManager::characterPlayer(MvCharacterPlayer&, Mivo::PlayerError error) { setPlayerError(error); }

void MvCharacterManager::setPlayerError(Mivo::PlayerError error) {
    // Every write reports, also when the same error comes again.
    playerError_.set(error);
    reportError(error == Mivo::PlayerError::activeAudioSessionFailed ? Mivo::Error::ErrorType::activeAudioSessionFailed
                                                                     : Mivo::Error::ErrorType::startAudioEngineFailed);
}

} // namespace MivoKit
