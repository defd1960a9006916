#pragma once
// What a renderer reads from the player, on the main thread: the frame to draw, the camera
// transform to draw it with, and the gaze controller. Plain stored values: a write notifies nobody.

#include "kit/head/eye_tracking_logic.hpp"
#include "kit/model/transform.hpp"
#include "kit/model/video_frame.hpp"

#include <memory>
#include <optional>

namespace MivoKit {

class MvCharacterDataProvider {
public:
    virtual ~MvCharacterDataProvider() = default;
    virtual const std::optional<Mivo::VideoFrame>& currentVideoFrame() const = 0;
    // Read, write, and modify in place.
    virtual std::optional<Mivo::Transform>& frameTransform() = 0;
    virtual std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() = 0;
};

} // namespace MivoKit
