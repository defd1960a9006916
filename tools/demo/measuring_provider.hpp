#pragma once
// A data provider that stands between the kit's view and the player: it hands the view exactly
// what the player holds and tells the sync meter which frame each draw will show and where the
// audio clock stood when the view pulled it. The view pulls after a draw, and the next draw renders
// what it pulled, so that frame belongs to draw number drawCount() + 1. Main queue only.

#include "kit/conversation/mv_character_player.hpp"
#include "platform/gpu/gpu_view.hpp"
#include "tools/demo/sync_meter.hpp"

#include <memory>

using namespace MivoKit;

namespace demo {

class MeasuringProvider : public MvCharacterDataProvider {
public:
    MeasuringProvider(std::shared_ptr<MvCharacterPlayer> player, SyncMeter& meter)
        : player_(std::move(player)), meter_(meter) {}
    // The view whose draws are counted; set once it exists.
    void setView(std::shared_ptr<platform::gpu::GPUView> view) { view_ = std::move(view); }

    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override;
    std::optional<Mivo::Transform>& frameTransform() override { return player_->frameTransform(); }
    std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() override { return player_->eyeTrackingLogic(); }

private:
    std::shared_ptr<MvCharacterPlayer> player_;
    SyncMeter& meter_;
    std::shared_ptr<platform::gpu::GPUView> view_;
    mutable const void* lastPulled_ = nullptr; // the points of the frame pulled last
};

} // namespace demo
