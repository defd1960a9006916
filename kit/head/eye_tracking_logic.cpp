#include "kit/head/eye_tracking_logic.hpp"

#include <array>
#include <cmath>

namespace MivoKit {

namespace {

// Where the eyes sit in head coordinates. The first x is 0.01, not the mirror of the second.
constexpr std::array<simd::float3, 2> kEyeOffsets = {simd::float3{0.01f, 0, 0.05f}, simd::float3{-0.05f, 0, 0.05f}};

simd::quatf axisRotation(float angle, simd::float3 axis) {
    const float s = std::sin(angle / 2);
    return {axis.x * s, axis.y * s, axis.z * s, std::cos(angle / 2)};
}

simd::float4x4 matrixOf(simd::quatf q) {
    const float x = q.x, y = q.y, z = q.z, w = q.w;
    return simd::float4x4::fromColumns({1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w), 0},
                                       {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w), 0},
                                       {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y), 0},
                                       {0, 0, 0, 1});
}

// Rx(a) * Ry(b) * Rz(c), counter-clockwise about each axis.
simd::float4x4 xyzRotation(float a, float b, float c) {
    return matrixOf(axisRotation(a, {1, 0, 0}) * axisRotation(b, {0, 1, 0}) * axisRotation(c, {0, 0, 1}));
}

// fmin/fmax rather than std::min/max: a NaN angle becomes the limit.
float limited(float angle, float limit) { return std::fmax(std::fmin(angle, limit), -limit); }

} // namespace

EyeTrackingLogic::EyeTrackingLogic(simd::float3 userHeadPos, simd::float3 neckPose)
    : userHeadPos_(userHeadPos), neckPose_(neckPose) {}

FlameFrameData EyeTrackingLogic::updateEyesPose(const Mivo::Transform& transform, const FlameFrameData& frameData) {
    return updateEyesPose(transform.translation, frameData);
}

FlameFrameData EyeTrackingLogic::updateEyesPose(const simd::float4x4& translation, const FlameFrameData& frameData) {
    const auto& r = frameData.rotation;
    const auto& oldEyes = frameData.eyes_pose;
    if (r.size() < 3 || oldEyes.size() < 6) return frameData;

    const auto world = translation * xyzRotation(r[0], r[1], r[2]) * xyzRotation(neckPose_.x, neckPose_.y, neckPose_.z);
    const auto p = simd::inverse(world) * simd::float4{userHeadPos_.x, userHeadPos_.y, userHeadPos_.z, 1};

    std::array<float, 4> angles; // pitch and yaw of each eye
    for (std::size_t i = 0; i < kEyeOffsets.size(); ++i) {
        const auto e = kEyeOffsets[i];
        const simd::float3 v = {-p.x - e.x, -p.y - e.y, p.z - e.z};
        const float length = simd::length(v);
        const simd::float3 dir = {v.x / length, v.y / length, v.z / length}; // NaN at the eye itself
        angles[2 * i] = limited(std::asin(dir.y), maxEyeYaw_);
        angles[2 * i + 1] = limited(std::atan2(-dir.x, dir.z), maxEyeYaw_);
    }
    lastTargetPos_ = userHeadPos_;

    FlameFrameData out = frameData;
    out.eyes_pose = {angles[0], angles[1], oldEyes[2], angles[2], angles[3], oldEyes[5]};
    return out;
}

} // namespace MivoKit
