#include "kit/head/lbs.hpp"

#include <gtest/gtest.h>

#include <numbers>

using namespace MivoKit;

namespace {

constexpr float kQuarterTurn = std::numbers::pi_v<float> / 2;

void expectNearJoint(simd::float3 a, simd::float3 b, float tolerance = 1e-6f) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

// (A + I) p for a relative transform A stored minus the identity.
simd::float3 applyRelative(const simd::float4x4& a, simd::float3 p) {
    const auto moved = a * simd::float4{p.x, p.y, p.z, 1};
    return {moved.x + p.x, moved.y + p.y, moved.z + p.z};
}

} // namespace

TEST(LBS, RodriguesOfZeroIsExactlyTheIdentityAndOfAQuarterTurnTurnsX) {
    EXPECT_EQ(LBS::rodrigues({0, 0, 0}), Float3x3::identity());
    const auto r = LBS::rodrigues({0, 0, kQuarterTurn});
    expectNearJoint(r * simd::float3{1, 0, 0}, {0, 1, 0});
    expectNearJoint(r * simd::float3{0, 1, 0}, {-1, 0, 0});
    // The angle is the length of the vector.
    expectNearJoint(LBS::rodrigues({0, 2 * kQuarterTurn, 0}) * simd::float3{1, 0, 0}, {-1, 0, 0});
}

TEST(LBS, RigidTransformsFollowTheChain) {
    // Joint 0 at the origin and joint 1 at (1, 0, 0), each turned a quarter about z.
    const std::vector<Float3x3> rotations = {LBS::rodrigues({0, 0, kQuarterTurn}), LBS::rodrigues({0, 0, kQuarterTurn})};
    const std::vector<simd::float3> joints = {{0, 0, 0}, {1, 0, 0}};
    const auto [posed, relative] = LBS::batchRigidTransform(rotations, joints, {-1, 0});
    expectNearJoint(posed[1], {0, 1, 0});
    // A point one unit past joint 1 ends at joint 1 plus a half turn of that unit: (-1, 1, 0).
    expectNearJoint(applyRelative(relative[1], {2, 0, 0}), {-1, 1, 0}, 1e-5f);
    expectNearJoint(applyRelative(relative[0], {1, 0, 0}), {0, 1, 0}, 1e-5f);
    // The identity was taken away from every element, the bottom-right one included.
    EXPECT_NEAR(relative[0].columns[3].w, 0, 1e-7f);
}

TEST(LBS, TheRestPoseKeepsTheVerticesAndAQuarterTurnTurnsThem) {
    const std::vector<simd::float3> vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}};
    const std::vector<std::vector<float>> regressor = {{1, 0, 0}};
    const std::vector<std::vector<float>> weights(3, std::vector<float>{1});
    const std::vector<float> posedirs(0);
    const auto [rest, restJoints] = LBS::lbs({0, 0, 0}, vertices, posedirs, regressor, {-1}, weights);
    ASSERT_EQ(rest.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(rest[i], vertices[i]);

    const auto [turned, joints] = LBS::lbs({0, kQuarterTurn, 0}, vertices, posedirs, regressor, {-1}, weights);
    expectNearJoint(turned[1], {0, 0, -1});
    expectNearJoint(turned[2], {0, 1, -1});
    expectNearJoint(joints[0], {0, 0, 0});
}

TEST(LBS, VerticesWithoutWeightsStayAndListsRunOverTheirCommonLength) {
    const std::vector<simd::float3> vertices = {{1, 2, 3}, {4, 5, 6}};
    const auto [out, joints] = LBS::lbs({0, 1, 0}, vertices, {}, {{1, 0}}, {-1}, {{0}, {0}});
    expectNearJoint(out[0], {1, 2, 3});
    expectNearJoint(out[1], {4, 5, 6});
    EXPECT_EQ(LBS::lbs({0, 0, 0}, vertices, {}, {{1, 0}}, {-1}, {{1}}).first.size(), 1u);

    EXPECT_EQ(LBS::addOffsets(vertices, {{1, 1, 1}}), (std::vector<simd::float3>{{2, 3, 4}}));
    // A regressor row shorter than the vertices weighs only the vertices it covers.
    EXPECT_EQ(LBS::regressJoints({{0, 0, 0}, {0.5f}}, vertices)[1], (simd::float3{0.5f, 1, 1.5f}));
    const auto offsets = LBS::blendShapes({1, 2}, {1, 0, 0, 1, 0, 0, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(offsets, (std::vector<simd::float3>{{1, 2, 0}, {11, 17, 23}}));
}
