// The manager's construction, validation, states and the operations the application calls.

#include "kit/conversation/mv_character_manager.hpp"

#include "kit/conversation/uuid_text.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"

#include <cctype>

namespace MivoKit {

namespace {

// Whether `text` is a URL reference as the platform's URL parser takes it: not empty, only the
// characters a URL may hold, every '%' starting an escape, and a well-formed scheme if there is
// one. A relative reference ("?id=x") parses; it is the service that refuses what it cannot open.
bool parsesAsURL(std::string_view text) {
    if (text.empty()) return false;
    static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=%";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isalnum(c)) continue;
        if (allowed.find(char(c)) == std::string_view::npos) return false;
        if (c == '%' && (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                         !std::isxdigit(static_cast<unsigned char>(text[i + 2]))))
            return false;
    }
    const auto colon = text.find(':');
    const auto firstDelimiter = text.find_first_of("/?#");
    if (colon != std::string_view::npos && colon < firstDelimiter) {
        const auto scheme = text.substr(0, colon);
        if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front()))) return false;
        for (char c : scheme)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

} // namespace

MvCharacterManager::MvCharacterManager(const Mivo::Character& character, Mivo::DriveServiceType driveServiceType)
    : logger_(std::string(platform::log::kitBundleIdentifier), "MivoKit"), character_(character),
      driveServiceType_(driveServiceType) {
    recordedAudioBufferCopier_ = recordedAudioBuffer_.onChange([this](const auto&, const auto& now) {
        std::lock_guard lock(recordedAudioBufferMutex_);
        audioThreadRecordedAudioBuffer_ = now;
    });
}

std::shared_ptr<MvCharacterManager> MvCharacterManager::create(const Mivo::Character& character,
                                                               Mivo::DriveServiceType driveServiceType,
                                                               const platform::audio::AudioFormat& customAudioFormat) {
    std::shared_ptr<MvCharacterManager> manager(new MvCharacterManager(character, driveServiceType));
    manager->characterPlayer_ = MvCharacterPlayer::create(character, customAudioFormat,
                                                          driveServiceType == Mivo::DriveServiceType::audiovisual);
    manager->characterPlayer_->setDelegate(manager);
    switch (driveServiceType) {
    case Mivo::DriveServiceType::animation:
        manager->characterService_.set(std::make_shared<MvCharacterAnimationService>());
        break;
    case Mivo::DriveServiceType::audiovisual:
        manager->characterService_.set(std::make_shared<MvCharacterAudiovisualService>());
        break;
    case Mivo::DriveServiceType::none:
        break;
    }
    if (const auto& service = manager->characterService()) service->delegate = manager;
    // Reported to no delegate: none can have been set yet.
    if (const auto problem = validationProblem(character)) manager->reportError(*problem);
    return manager;
}

MvCharacterManager::~MvCharacterManager() {
    // What close(true) does to the player, without notices (the player's delegate is gone): the
    // render loop would otherwise compute frames for ever, and the microphone stay on.
    characterPlayer_->cleanup();
    characterPlayer_->shouldRunRenderLoop = false;
    characterPlayer_->renderLoopTask.cancel();
    characterPlayer_->renderLoopTask = {};
}

std::optional<Mivo::Error::ErrorType> MvCharacterManager::validationProblem(const Mivo::Character& character) {
    if (character.id().empty()) return Mivo::Error::ErrorType::characterIdWrong;
    const auto& paths = character.assetPaths();
    if (!paths.idleFramesUrl || !paths.pointCloudModelUrl || !paths.shapeJsonUrl)
        return Mivo::Error::ErrorType::characterAssetsMissing;
    const auto& camera = character.camera();
    // Positive and negative zero count as zero; NaN does not.
    if (camera.rotation == 0 && camera.fovyRadians == 0 && camera.translationX == 0 && camera.translationY == 0 &&
        camera.translationZ == 0)
        return Mivo::Error::ErrorType::characterCameraSettingsWrong;
    return std::nullopt;
}

// ---- states ----

void MvCharacterManager::setConnectionState(Mivo::ConnectionState state) {
    if (connectionState_.set(state))
        if (auto target = delegate()) target->characterManager(*this, state);
}

void MvCharacterManager::setConversationState(Mivo::ConversationState state) {
    if (conversationState_.set(state))
        if (auto target = delegate()) target->characterManager(*this, state);
}

void MvCharacterManager::setPlayerState(Mivo::PlayerState state) {
    if (playerState_.set(state))
        if (auto target = delegate()) target->characterManager(*this, state);
}

void MvCharacterManager::setEyeTrackingLogic(std::shared_ptr<EyeTrackingLogic> logic) {
    // Every write reaches the player, which may have been given another logic meanwhile; the
    // player first, so that observers find both the same.
    characterPlayer_->eyeTrackingLogic() = logic;
    eyeTrackingLogic_.set(std::move(logic));
}

MvCharacterManager::RecordedAudioBuffer MvCharacterManager::recordedAudioBuffer() const {
    std::lock_guard lock(recordedAudioBufferMutex_);
    return audioThreadRecordedAudioBuffer_ ? *audioThreadRecordedAudioBuffer_ : RecordedAudioBuffer{};
}

void MvCharacterManager::setRecordedAudioBuffer(RecordedAudioBuffer callback) {
    recordedAudioBuffer_.set(callback ? std::make_shared<const RecordedAudioBuffer>(std::move(callback)) : nullptr);
}

// ---- operations ----

std::string MvCharacterManager::makeServiceURL() const {
    auto& sdk = MivoSDK::shared();
    if (driveServiceType_ == Mivo::DriveServiceType::audiovisual) return sdk.configuration().audiovisualServiceUrl;
    return "wss://" + sdk.domainsMap().at(sdk.currentEnvironment()) + "/v1/driveningress/websocket";
}

void MvCharacterManager::start() {
    if (driveServiceType_ == Mivo::DriveServiceType::none) return;
    setConversationState(Mivo::ConversationState::starting);
    const std::string url = makeServiceURL() + "?id=" + character_.id();
    if (!parsesAsURL(url)) return;
    setConnectionState(Mivo::ConnectionState::connecting);
    characterService()->connect(url, MivoSDK::shared().sessionToken(), std::nullopt);
}

std::string MvCharacterManager::beginConversation() {
    std::string id = makeUUIDString();
    currentConversationId_.set(id);
    displayCurrentConversationId_.set(id);
    return id;
}

void MvCharacterManager::sendAudioData(const std::vector<std::uint8_t>& data) {
    if (!MivoSDK::shared().isVerified()) {
        reportError(Mivo::Error::ErrorType::sdkNotVerified);
        return;
    }
    if (data.empty()) {
        reportError(Mivo::Error::ErrorType::sendDataWrong);
        return;
    }
    const std::string id = beginConversation();
    if (driveServiceType_ == Mivo::DriveServiceType::none) return;
    auto& player = *characterPlayer_;
    if (player.conversationIsReady) {
        player.stopConversation();
        // The stop notice of the replaced conversation cleared the display: it shows this one now.
        displayCurrentConversationId_.set(id);
    }
    const auto endType = driveServiceType_ == Mivo::DriveServiceType::animation
                             ? MvCharacterConversation::EndType::finishedPlayingAudio
                             : MvCharacterConversation::EndType::receivedAllData;
    player.currentConversation = std::make_shared<MvCharacterConversation>(id, std::vector<std::uint8_t>{},
                                                                           std::vector<FlameFrameData>{}, false,
                                                                           endType, true);
    player.checkConversationReady();
    // In animation drive the user's own speech is what plays, in step with the returned frames.
    if (driveServiceType_ == Mivo::DriveServiceType::animation) player.appendAudioData(data, id);
    characterService()->sendAudio(id, data, [](bool) {});
}

void MvCharacterManager::start(std::vector<std::uint8_t> withAudioData, std::vector<FlameFrameData> frameDataQueue) {
    const std::string id = beginConversation();
    setConversationState(Mivo::ConversationState::active);
    const bool replacing = characterPlayer_->conversationIsReady;
    characterPlayer_->startConversation(id, std::move(withAudioData), std::move(frameDataQueue));
    // As in sendAudioData: the replaced conversation's stop notice must not blank what plays now.
    if (replacing) displayCurrentConversationId_.set(id);
}

void MvCharacterManager::interrupt() {
    currentConversationId_.set(std::nullopt);
    characterPlayer_->stopConversation();
}

void MvCharacterManager::togglePlayerMute() {
    auto& player = *characterPlayer_;
    player.playerNode->setVolume(player.isMuted ? 1.0f : 0.0f);
    player.isMuted = !player.isMuted;
}

void MvCharacterManager::close(bool shouldCleanup) {
    setConversationState(Mivo::ConversationState::closing);
    if (connectionState_ != Mivo::ConnectionState::connected) setConversationState(Mivo::ConversationState::idle);
    // Whatever socket the service holds goes, not only the one the connected state stands for: a
    // socket still opening, or one that replaced an open connection, would outlive the session.
    const auto& service = characterService();
    if (service && (service->webSocketTask() || service->isConnected())) {
        service->disconnect();
        // A socket closed before it opened ends without news from the service.
        if (!service->isConnected()) setConnectionState(Mivo::ConnectionState::disconnected);
    }
    auto& player = *characterPlayer_;
    if (shouldCleanup) {
        player.cleanup();
        player.shouldRunRenderLoop = false;
        player.renderLoopTask.cancel();
        player.renderLoopTask = {};
    } else {
        player.stopConversation();
    }
}

} // namespace MivoKit
