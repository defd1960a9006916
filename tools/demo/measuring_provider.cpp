#include "tools/demo/measuring_provider.hpp"

using namespace MivoKit;

namespace demo {

const std::optional<Mivo::VideoFrame>& MeasuringProvider::currentVideoFrame() const {
    const auto& frame = player_->currentVideoFrame();
    if (frame && view_ && frame->buffer().points.data() != lastPulled_) {
        lastPulled_ = frame->buffer().points.data();
        meter_.framePulled(frame->flameFrameData(), view_->drawCount() + 1, playbackClockFrames(*player_));
    }
    return frame;
}

} // namespace demo
