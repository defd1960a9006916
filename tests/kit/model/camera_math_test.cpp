#include "kit/model/camera_math.hpp"
#include "kit/model/transform.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace MivoKit;

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

void expectNear(simd::float4 a, simd::float4 b, float eps = 1e-6f) {
    EXPECT_NEAR(a.x, b.x, eps);
    EXPECT_NEAR(a.y, b.y, eps);
    EXPECT_NEAR(a.z, b.z, eps);
    EXPECT_NEAR(a.w, b.w, eps);
}

void expectNear(const simd::float4x4& a, const simd::float4x4& b, float eps = 1e-6f) {
    for (int c = 0; c < 4; ++c) expectNear(a[c], b[c], eps);
}

TEST(RotationMatrix, RightHandedAboutANormalisedAxis) {
    expectNear(rotationMatrix(0, {0, 3, 0}), simd::float4x4::identity());
    auto r = rotationMatrix(kPi / 2, {0, 1, 0});
    expectNear(r * simd::float4{1, 0, 0, 1}, {0, 0, -1, 1});
    expectNear(r * simd::float4{0, 0, 1, 1}, {1, 0, 0, 1});
    expectNear(rotationMatrix(0.7f, {0, 2, 0}), rotationMatrix(0.7f, {0, 1, 0}));
    // About z: x goes to y (counter-clockwise seen from +z); a transposed matrix would send it to -y.
    expectNear(rotationMatrix(kPi / 2, {0, 0, 1}) * simd::float4{1, 0, 0, 0}, {0, 1, 0, 0});
}

TEST(RotationMatrix, AnAxisWithoutDirectionGivesTheIdentity) {
    EXPECT_EQ(rotationMatrix(1.0f, {0, 0, 0}), simd::float4x4::identity());
    EXPECT_EQ(rotationMatrix(1.0f, {NAN, 0, 0}), simd::float4x4::identity());
    EXPECT_EQ(rotationMatrix(1.0f, {INFINITY, 0, 0}), simd::float4x4::identity());
}

TEST(EulerRotation, FactorsTurnTheOppositeWayAndXActsFirst) {
    auto e = Mivo::Transform::eulerRotationMatrix(kPi / 2, 0, 0);
    expectNear(e * simd::float4{0, 1, 0, 0}, {0, 0, -1, 0});
    expectNear(rotationMatrix(kPi / 2, {1, 0, 0}) * simd::float4{0, 1, 0, 0}, {0, 0, 1, 0});
    expectNear(e, rotationMatrix(-kPi / 2, {1, 0, 0}));

    const float x = 0.3f, y = -0.5f, z = 1.1f;
    auto expected = rotationMatrix(-z, {0, 0, 1}) * rotationMatrix(-y, {0, 1, 0}) * rotationMatrix(-x, {1, 0, 0});
    expectNear(Mivo::Transform::eulerRotationMatrix(x, y, z), expected, 1e-5f);
}

TEST(Transform, CameraSettingsComposeTranslationsAndReplaceRotation) {
    Mivo::Transform start;
    start.rotation = rotationMatrix(1.0f, {1, 0, 0});
    auto once = start.transform(0.5f, 0.8f, 1, 2, 3);
    expectNear(once.translation[3], {1, 2, 3, 1});
    expectNear(once.rotation, rotationMatrix(0.5f, {0, 1, 0}));
    EXPECT_EQ(once.fovyRadians, 0.8f);
    auto twice = once.transform(0.5f, 0.8f, 1, 2, 3);
    expectNear(twice.translation[3], {2, 4, 6, 1});
    // The record it was called on is unchanged.
    EXPECT_EQ(start.translation, simd::float4x4::identity());
    expectNear(start.rotation, rotationMatrix(1.0f, {1, 0, 0}));
}

TEST(Transform, RotateComposesInFrontAndReplaces) {
    Mivo::Transform t;
    t.updateRotation(0.4f, {0, 1, 0});
    const auto before = t.rotation;
    t.rotate(0.1f, 0.2f, 0.3f);
    expectNear(t.rotation, Mivo::Transform::eulerRotationMatrix(0.1f, 0.2f, 0.3f) * before);
    t.rotate(simd::float4x4::identity());
    EXPECT_EQ(t.rotation, simd::float4x4::identity());
}

TEST(Perspective, MapsNearAndFarToTheUnitDepthRange) {
    auto p = perspectiveMatrix(kPi / 2, 2, 1, 11);
    EXPECT_NEAR(p[0].x, 0.5f, 1e-6f);
    EXPECT_NEAR(p[1].y, 1.0f, 1e-6f);
    EXPECT_NEAR(p[2].z, -1.1f, 1e-6f);
    EXPECT_EQ(p[2].w, -1.0f);
    expectNear(p[3], {0, 0, -1.1f, 0});
    auto nearPoint = p * simd::float4{0, 0, -1, 1};
    auto farPoint = p * simd::float4{0, 0, -11, 1};
    EXPECT_NEAR(nearPoint.z / nearPoint.w, 0.0f, 1e-6f);
    EXPECT_NEAR(farPoint.z / farPoint.w, 1.0f, 1e-6f);
}

TEST(Matrix, InverseUndoesAGeneralMatrix) {
    Mivo::Transform t = Mivo::Transform().transform(0.7f, 1, 0.5f, -2, 3);
    auto m = perspectiveMatrix(1.0f, 1.3f, 0.1f, 50) * t.translation * t.rotation;
    expectNear(simd::inverse(m) * m, simd::float4x4::identity(), 1e-5f);
    auto singular = simd::float4x4();
    EXPECT_TRUE(std::isnan(simd::inverse(singular)[0].x));
}

} // namespace
