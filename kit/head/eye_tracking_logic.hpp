#pragma once
// Turns both eyes of a frame towards a fixed point (the viewer's head), within 0.2 radians.

#include "kit/model/flame_frame_data.hpp"
#include "kit/model/transform.hpp"
#include "platform/simd/simd.hpp"

#include <optional>

namespace MivoKit {

class EyeTrackingLogic {
public:
    // `userHeadPos` is the target in the space of the view transform; `neckPose` holds rotation
    // angles (radians) about x, y and z applied after the head's own rotation.
    EyeTrackingLogic(simd::float3 userHeadPos, simd::float3 neckPose);

    simd::float3 userHeadPos() const { return userHeadPos_; }
    simd::float3 neckPose() const { return neckPose_; }
    float maxEyeYaw() const { return maxEyeYaw_; }
    // The target of the latest update.
    std::optional<simd::float3> lastTargetPos() const { return lastTargetPos_; }

    // The frame with a new eyes_pose: per eye a pitch and a yaw towards the target, each within
    // +-0.2 radians, the third value of each eye kept. `translation` is the translation matrix of
    // the view transform. A frame with fewer than 3 rotation or 6 eye values comes back unchanged.
    // Updates one at a time: each writes lastTargetPos.
    FlameFrameData updateEyesPose(const simd::float4x4& translation, const FlameFrameData& frameData);
    FlameFrameData updateEyesPose(const Mivo::Transform& transform, const FlameFrameData& frameData);

private:
    simd::float3 userHeadPos_;
    simd::float3 neckPose_;
    float maxEyeYaw_ = 0.2f;
    std::optional<simd::float3> lastTargetPos_;
};

} // namespace MivoKit
