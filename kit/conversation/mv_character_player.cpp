// The player's construction, its render loop and transitions.

#include "kit/conversation/mv_character_player.hpp"

#include "kit/model/camera_math.hpp"

#include <cmath>
#include <limits>

namespace MivoKit {

using platform::dispatch::Async;
using platform::dispatch::onBackground;
using platform::dispatch::onMain;

MvCharacterPlayer::MvCharacterPlayer(const Mivo::Character& character, const platform::audio::AudioFormat& audioFormat,
                                     bool enableVoiceRecord)
    : logger(std::string(platform::log::kitBundleIdentifier), "MivoKit"),
      playerNode(std::make_shared<platform::audio::AudioPlayerNode>()),
      bufferProvider(character.assetPaths(), audioFormat), enableVoiceRecord(enableVoiceRecord), character(character),
      audioFormat(audioFormat) {
    // From the identity, the camera settings give a plain translation, a turn about y and the
    // field of view.
    const auto& camera = character.camera();
    frameTransform_ = Mivo::Transform(simd::float4x4::identity(), rotationMatrix(0, {0, 1, 0}), 0)
                          .transform(camera.rotation, camera.fovyRadians, camera.translationX,
                                     camera.translationY, camera.translationZ);
}

MvCharacterPlayer::~MvCharacterPlayer() = default;

std::shared_ptr<MvCharacterPlayer> MvCharacterPlayer::create(const Mivo::Character& character,
                                                             const platform::audio::AudioFormat& audioFormat,
                                                             bool enableVoiceRecord) {
    std::shared_ptr<MvCharacterPlayer> player(new MvCharacterPlayer(character, audioFormat, enableVoiceRecord));
    player->renderLoopTask = platform::dispatch::spawn(renderLoop(player));
    return player;
}

std::shared_ptr<MvCharacterPlayerDelegate> MvCharacterPlayer::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

void MvCharacterPlayer::setDelegate(const std::shared_ptr<MvCharacterPlayerDelegate>& delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = delegate;
}

// ---- render loop ----

Async<void> MvCharacterPlayer::renderLoop(std::weak_ptr<MvCharacterPlayer> weakPlayer) {
    // Tasks start on the main queue.
    const auto player = weakPlayer.lock();
    if (!player || !player->shouldRunRenderLoop) co_return;
    while (true) {
        co_await player->renderCurrentFrame();
        co_await player->frameRateController.waitForNextFrame();
        co_await onMain();
        if (!player->shouldRunRenderLoop) co_return;
    }
}

Async<void> MvCharacterPlayer::renderCurrentFrame() {
    if (transitionAnimation) co_await transitionTurn();
    else if (conversationIsReady && canPlayConversationAnimation) co_await conversationTurn();
    else co_await idleTurn();
}

Async<void> MvCharacterPlayer::transitionTurn() {
    const auto transition = transitionAnimation;
    auto frame = transition->nextFrame();
    if (!frame) co_return;
    co_await render(std::move(*frame), transition->flameVersion);
    // A transition that replaced this one during the render is not this turn's to clear.
    if (transitionAnimation != transition) co_return;
    if (transition->currentIndex != static_cast<std::int64_t>(transition->frames.size()) - 1) co_return;
    transitionAnimation.reset();
    if (transition->toIdle) resumeRecordingAtRest();
}

void MvCharacterPlayer::resumeRecordingAtRest() {
    // The microphone listens again, unless the session has been cleaned up since.
    if (enableVoiceRecord && !microphoneHeldOff_) switchToRecordingEngine();
}

std::optional<std::int64_t> MvCharacterPlayer::frameIndex(const platform::audio::AudioTime& playerTime) {
    // A clock without a positive rate has no time to give.
    if (!(playerTime.sampleRate > 0)) return std::nullopt;
    const double index = static_cast<double>(playerTime.sampleTime) / playerTime.sampleRate * framesPerSecond;
    // A clock before its start shows the first frame.
    if (!(index > 0)) return 0;
    if (!(index < 9.0e18)) return std::nullopt; // past any frame (and past what an int64 holds)
    return static_cast<std::int64_t>(index); // truncated

}

std::optional<std::int64_t> MvCharacterPlayer::playbackFrameIndex() const {
    const auto renderTime = playerNode->lastRenderTime();
    if (!renderTime) return std::nullopt;
    const auto playerTime = playerNode->playerTime(*renderTime);
    if (!playerTime) return std::nullopt;
    return frameIndex(*playerTime);
}

Async<void> MvCharacterPlayer::conversationTurn() {
    const auto conversation = currentConversation;
    if (!conversation || !playerNode->isPlaying()) co_return;
    const auto index = playbackFrameIndex();
    if (!index) co_return;
    auto frame = conversation->frame(*index);
    if (!frame) co_return;
    const auto version = fromRaw<FlameVersion>(character.configuration().flameVersion).value_or(FlameVersion::V_2020);
    co_await render(std::move(*frame), version);
}

Async<void> MvCharacterPlayer::idleTurn() {
    const auto idle = character.idleAnimation();
    if (!idle) co_return;
    auto frame = idle->nextFrame();
    if (!frame) co_return;
    co_await render(std::move(*frame), idle->flameVersion);
}

Async<void> MvCharacterPlayer::render(FlameFrameData frame, FlameVersion flameVersion) {
    const auto eyeTracking = eyeTrackingLogic_;
    const auto transform = frameTransform_;
    co_await onBackground();
    if (eyeTracking && transform) frame = eyeTracking->updateEyesPose(transform->translation, frame);
    std::optional<SplatMemoryBuffer> buffer;
    try {
        buffer = bufferProvider.makeSplatBuffer(frame, flameVersion);
    } catch (const std::exception&) {
        // Skipped silently: the next turn tries again, and the provider retries its loading.
    }
    co_await onMain();
    if (!buffer) co_return;
    currentVideoFrame_.emplace(std::move(*buffer), std::move(frame));
    if (auto target = delegate()) target->characterPlayerDidRenderFrame(*this);
}

// ---- transitions ----

void MvCharacterPlayer::buildTransition(bool toIdle) {
    if (!currentConversation) {
        conversationIsReady = false;
        return;
    }
    const auto& idle = character.idleAnimation();
    std::optional<FlameFrameData> target;
    if (!toIdle && !currentConversation->frameDataQueue.empty()) target = currentConversation->frameDataQueue.front();
    if (toIdle && idle && !idle->frames.empty()) target = idle->frames.front();
    std::optional<FlameFrameData> source;
    if (currentVideoFrame_) source = currentVideoFrame_->flameFrameData();

    // A duration that gives no whole frame (or no count at all) builds no transition, like a
    // missing frame: a transition without frames could never end.
    const double count = idle ? std::floor(idle->transitionDuration * framesPerSecond) : 0;
    if (!source || !target || !(count >= 1 && count <= std::numeric_limits<int>::max())) {
        transitionAnimation.reset();
    } else {
        const int n = static_cast<int>(count);
        std::vector<FlameFrameData> frames;
        frames.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) frames.push_back(blendFlameFrames(*source, *target, double(i) / double(n)));
        transitionAnimation = std::make_shared<Mivo::Animation>(std::move(frames), idle->flameVersion, -1, 0.2, true, toIdle);
    }
    conversationIsReady = !toIdle;
    if (toIdle && currentConversation) {
        currentConversation->clear();
        currentConversation.reset();
    }
    // Straight back to idle: no transition's end will turn the microphone on, so it happens now.
    if (toIdle && !transitionAnimation) resumeRecordingAtRest();
}

} // namespace MivoKit
