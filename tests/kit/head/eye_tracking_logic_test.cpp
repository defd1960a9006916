#include "kit/head/eye_tracking_logic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace MivoKit;

namespace {

FlameFrameData frame(std::vector<float> rotation = {0, 0, 0}, std::vector<float> eyes = {0, 0, 0.3f, 0, 0, 0.6f}) {
    FlameFrameData f;
    f.rotation = std::move(rotation);
    f.eyes_pose = std::move(eyes);
    f.expr = {1, 2};
    f.neck_pose = {0.1f, 0.2f, 0.3f};
    f.jaw_pose = {0.4f, 0, 0};
    f.eyelid = std::vector<float>{0.5f, 0.5f};
    f.translation = {1, 2, 3};
    return f;
}

const simd::float4x4 kIdentity = simd::float4x4::identity();

} // namespace

TEST(EyeTrackingLogic, EyesTurnTowardsTheTargetWithinTheLimit) {
    EyeTrackingLogic ahead({-0.01f, 0, 10.05f}, {0, 0, 0});
    const auto straight = ahead.updateEyesPose(kIdentity, frame());
    EXPECT_NEAR(straight.eyes_pose[0], 0, 1e-6f);
    EXPECT_NEAR(straight.eyes_pose[1], 0, 1e-6f);
    EXPECT_EQ(ahead.lastTargetPos(), (simd::float3{-0.01f, 0, 10.05f}));

    // A target above the first eye: its y is negated, so the pitch goes to -0.2; the yaw to +0.2.
    EyeTrackingLogic above({0, 5, 0.05f}, {0, 0, 0});
    const auto up = above.updateEyesPose(kIdentity, frame());
    EXPECT_FLOAT_EQ(up.eyes_pose[0], -0.2f);
    EXPECT_FLOAT_EQ(up.eyes_pose[1], 0.2f);

    for (float x : {-100.0f, 100.0f}) {
        const auto side = EyeTrackingLogic({x, 0, 1}, {0, 0, 0}).updateEyesPose(kIdentity, frame());
        EXPECT_FLOAT_EQ(std::fabs(side.eyes_pose[1]), 0.2f);
        EXPECT_FLOAT_EQ(std::fabs(side.eyes_pose[4]), 0.2f);
        EXPECT_LE(std::fabs(side.eyes_pose[0]), 0.2f);
    }
}

TEST(EyeTrackingLogic, TheTwoEyesSitAtTheirOwnOffsets) {
    // Straight ahead of the second eye (-0.05, 0, 0.05): x is negated, so the target has x = 0.05.
    const auto out = EyeTrackingLogic({0.05f, 0, 3}, {0, 0, 0}).updateEyesPose(kIdentity, frame());
    EXPECT_NEAR(out.eyes_pose[3], 0, 1e-6f);
    EXPECT_NEAR(out.eyes_pose[4], 0, 1e-6f);
    EXPECT_NEAR(out.eyes_pose[1], std::atan2(-(-0.05f - 0.01f), 3 - 0.05f), 1e-6f);
}

TEST(EyeTrackingLogic, TheViewTranslationAndHeadRotationMoveTheTargetIntoHeadSpace) {
    simd::float4x4 moved = kIdentity;
    moved.columns[3] = {0, 0, -1, 1};
    // Moving the view back by 1 is the same as a target 1 nearer.
    const auto a = EyeTrackingLogic({0.3f, 0.1f, 2}, {0, 0, 0}).updateEyesPose(moved, frame());
    const auto b = EyeTrackingLogic({0.3f, 0.1f, 3}, {0, 0, 0}).updateEyesPose(kIdentity, frame());
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(a.eyes_pose[i], b.eyes_pose[i], 1e-6f);

    // The head's rotation and the logic's neck pose compose: turning either by a quarter is the same.
    const float quarter = std::acos(0.0f);
    const auto turned = EyeTrackingLogic({1, 0, 0}, {0, 0, 0}).updateEyesPose(kIdentity, frame({0, quarter, 0}));
    const auto turnedByNeck = EyeTrackingLogic({1, 0, 0}, {0, quarter, 0}).updateEyesPose(kIdentity, frame());
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(turned.eyes_pose[i], turnedByNeck.eyes_pose[i], 1e-5f);
    // The Mivo.Transform form reads only the translation matrix.
    const Mivo::Transform transform(moved, Mivo::Transform::eulerRotationMatrix(1, 2, 3), 0.7f);
    const auto c = EyeTrackingLogic({0.3f, 0.1f, 2}, {0, 0, 0}).updateEyesPose(transform, frame());
    EXPECT_EQ(c.eyes_pose, a.eyes_pose);
}

TEST(EyeTrackingLogic, OnlyTheEyePoseChanges) {
    auto input = frame({0.1f, 0.2f, 0.3f, 7}, {0, 0, 0.3f, 0, 0, 0.6f, 9, 9, 9});
    const auto out = EyeTrackingLogic({0, 0, 2}, {0.1f, 0, 0}).updateEyesPose(kIdentity, input);
    ASSERT_EQ(out.eyes_pose.size(), 6u);
    EXPECT_EQ(out.eyes_pose[2], 0.3f);
    EXPECT_EQ(out.eyes_pose[5], 0.6f);
    EXPECT_EQ(out.rotation, input.rotation);
    EXPECT_EQ(out.expr, input.expr);
    EXPECT_EQ(out.neck_pose, input.neck_pose);
    EXPECT_EQ(out.jaw_pose, input.jaw_pose);
    EXPECT_EQ(out.eyelid, input.eyelid);
    EXPECT_EQ(out.translation, input.translation);
    // Rotation values past the third and the frame's own neck pose play no part.
    auto other = input;
    other.rotation[3] = -5;
    other.neck_pose = {1, 1, 1};
    EXPECT_EQ(EyeTrackingLogic({0, 0, 2}, {0.1f, 0, 0}).updateEyesPose(kIdentity, other).eyes_pose, out.eyes_pose);
}

TEST(EyeTrackingLogic, ShortFramesPassUnchangedAndNaNAnglesBecomeTheLimit) {
    EyeTrackingLogic logic({0, 0, 2}, {0, 0, 0});
    const auto shortEyes = frame({0, 0, 0}, {0.1f, 0.2f, 0.3f});
    EXPECT_EQ(logic.updateEyesPose(kIdentity, shortEyes).eyes_pose, shortEyes.eyes_pose);
    const auto shortRotation = frame({0, 0});
    EXPECT_EQ(logic.updateEyesPose(kIdentity, shortRotation).eyes_pose, shortRotation.eyes_pose);
    EXPECT_FALSE(logic.lastTargetPos().has_value());

    // A target at the first eye itself: a direction of length zero, so NaN angles, limited to 0.2.
    EyeTrackingLogic atEye({-0.01f, 0, 0.05f}, {0, 0, 0});
    const auto out = atEye.updateEyesPose(kIdentity, frame());
    EXPECT_FLOAT_EQ(out.eyes_pose[0], 0.2f);
    EXPECT_FLOAT_EQ(out.eyes_pose[1], 0.2f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FLOAT_EQ(EyeTrackingLogic({nan, 0, 1}, {0, 0, 0}).updateEyesPose(kIdentity, frame()).eyes_pose[3], 0.2f);
}
