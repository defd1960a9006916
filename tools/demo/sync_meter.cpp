#include "tools/demo/sync_meter.hpp"

#include <cmath>

using namespace MivoKit;

using platform::dispatch::monotonicNow;

namespace demo {

std::optional<double> playbackClockFrames(const MvCharacterPlayer& player) {
    if (!player.playerNode->isPlaying()) return std::nullopt;
    const auto renderTime = player.playerNode->lastRenderTime();
    const auto playerTime = renderTime ? player.playerNode->playerTime(*renderTime) : std::nullopt;
    if (!playerTime || !(playerTime->sampleRate > 0)) return std::nullopt;
    return std::max(0.0, double(playerTime->sampleTime) / playerTime->sampleRate * 25.0);
}

void SyncMeter::keyframesArrived(const std::vector<FlameFrameData>& frames) {
    if (!firstKeyframeAt_ && !frames.empty()) firstKeyframeAt_ = monotonicNow();
    keyframes_.insert(keyframes_.end(), frames.begin(), frames.end());
}

void SyncMeter::playbackStarted() {
    if (!startedAt_) startedAt_ = monotonicNow();
}

void SyncMeter::playbackStopped() {
    if (startedAt_ && !stoppedAt_) stoppedAt_ = monotonicNow();
}

std::optional<std::size_t> SyncMeter::keyframeIndex(const FlameFrameData& frame) const {
    // Eye tracking changes only the eyes: the jaw and the expression tell the keyframe.
    for (std::size_t k = 0; k < keyframes_.size(); ++k)
        if (keyframes_[k].jaw_pose == frame.jaw_pose && keyframes_[k].expr == frame.expr) return k;
    return std::nullopt;
}

void SyncMeter::framePulled(const FlameFrameData& frame, std::uint64_t number, std::optional<double> clockFrames) {
    if (!startedAt_ || stoppedAt_) return;
    if (!firstReplyFrame_) firstReplyFrame_ = number;
    const auto index = keyframeIndex(frame);
    if (!index || !clockFrames) return;
    // Whole frames between the frame the audio clock is on and the keyframe shown.
    const double offset = std::abs(std::floor(*clockFrames) - double(*index));
    worstOffset_ = std::max(worstOffset_.value_or(0), offset);
    worstLag_ = std::max(worstLag_.value_or(0), *clockFrames - double(*index));
    if (!frame.jaw_pose.empty()) jawByClock_.push_back({*clockFrames / 25.0, frame.jaw_pose[0]});
}

void SyncMeter::framePresented(std::uint64_t number, platform::dispatch::Nanoseconds at) {
    presented_[number] = at;
    if (firstReplyFrame_ && number == *firstReplyFrame_) firstShownAt_ = at;
}

SyncMeter::Summary SyncMeter::summary() const {
    Summary s;
    if (firstKeyframeAt_ && firstShownAt_)
        s.firstKeyframeToScreenMs = std::chrono::duration<double, std::milli>(*firstShownAt_ - *firstKeyframeAt_).count();
    if (startedAt_ && stoppedAt_) {
        for (const auto& [number, at] : presented_) s.framesShown += at >= *startedAt_ && at <= *stoppedAt_;
        const double seconds = std::chrono::duration<double>(*stoppedAt_ - *startedAt_).count();
        if (seconds > 0) s.framesPerSecond = double(s.framesShown) / seconds;
    }
    s.worstClockOffsetFrames = worstOffset_;
    if (worstLag_) s.worstLagMs = *worstLag_ * 40.0;
    return s;
}

} // namespace demo
