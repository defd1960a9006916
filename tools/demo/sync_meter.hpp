#pragma once
// Measures how a conversation's frames follow its speech, from what the application can see: when
// the first keyframe arrived, which keyframe each drawn frame shows and where the audio clock stood
// when it was drawn, and when the frames reached the screen. Main queue only.

#include "kit/conversation/mv_character_player.hpp"
#include "kit/model/video_frame.hpp"
#include "platform/dispatch/clock.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

using namespace MivoKit;

namespace demo {

// Where the player's playback clock stands, in frames (sample time / rate × 25, not truncated);
// none while the node does not play.
std::optional<double> playbackClockFrames(const MvCharacterPlayer& player);

class SyncMeter {
public:
    struct Summary {
        std::optional<double> firstKeyframeToScreenMs; // first keyframe received → first frame of the reply shown
        double framesPerSecond = 0;                     // frames shown while the reply played
        // Whole frames between the frame the audio clock is on and the keyframe shown.
        std::optional<double> worstClockOffsetFrames;
        // How far the keyframe shown trailed the audio clock at most, in milliseconds.
        std::optional<double> worstLagMs;
        std::size_t framesShown = 0;
    };

    // The reply's keyframes, in order, as they arrive.
    void keyframesArrived(const std::vector<FlameFrameData>& frames);
    void playbackStarted();
    void playbackStopped();
    // A drawn frame: `clockFrames` is the playback clock in frames (sample time / rate × 25) then.
    void framePulled(const FlameFrameData& frame, std::uint64_t number, std::optional<double> clockFrames);
    void framePresented(std::uint64_t number, platform::dispatch::Nanoseconds at);

    Summary summary() const;
    // The jaw opening of each keyframe shown, at the audio clock (seconds) it was shown at.
    const std::vector<std::pair<double, float>>& jawByClock() const { return jawByClock_; }

private:
    std::optional<std::size_t> keyframeIndex(const FlameFrameData& frame) const;

    std::vector<FlameFrameData> keyframes_;
    std::optional<platform::dispatch::Nanoseconds> firstKeyframeAt_, startedAt_, stoppedAt_, firstShownAt_;
    std::optional<std::uint64_t> firstReplyFrame_; // the first frame pulled after playback started
    std::map<std::uint64_t, platform::dispatch::Nanoseconds> presented_;
    std::optional<double> worstOffset_, worstLag_;
    std::vector<std::pair<double, float>> jawByClock_;
};

} // namespace demo
