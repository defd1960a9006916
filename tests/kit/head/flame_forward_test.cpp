#include "kit/head/flame_head.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace MivoKit;

namespace {

constexpr float kHalfPi = std::numbers::pi_v<float> / 2;
using Vertices = std::vector<simd::float3>;

// Five vertices, joint j at vertex j, vertex v skinned to joint `joints[v]`; two shape and one
// expression coefficient: shape 0 moves every vertex along x, shape 1 along y, expression along z.
FlameHead smallHead(std::vector<int> joints = {0, 0, 0, 0, 0}) {
    FlameHead head(2, 1, FlameVersion::V_2023);
    head.v_template = {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 2, 0}, {1, 0, 1}};
    const std::size_t V = head.v_template.size();
    head.parents = {-1, 0, 1, 1, 1};
    head.J_regressor.assign(5, std::vector<float>(V, 0.0f));
    for (std::size_t j = 0; j < 5; ++j) head.J_regressor[j][j] = 1;
    for (std::size_t v = 0; v < V; ++v) {
        std::vector<float> w(5, 0.0f);
        w[std::size_t(joints[v])] = 1;
        head.lbs_weights.push_back(w);
    }
    for (std::size_t v = 0; v < V; ++v)
        for (float x : {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f}) head.shapedirsFlat.push_back(x);
    head.posedirsFlat.assign(36 * 3 * V, 0.0f);
    head.l_eyelid.assign(V, {0, 1, 0});
    head.r_eyelid.assign(V, {0, 0, 1});
    head.modelDataChanged();
    return head;
}

Vertices posed(FlameHead& head, std::vector<float> shape, std::vector<float> expr, std::vector<float> rotation,
               std::vector<float> neck = {0, 0, 0}, std::vector<float> jaw = {0, 0, 0},
               std::optional<Vertices> staticOffset = std::nullopt, std::optional<std::vector<float>> eyelid = std::nullopt,
               simd::float3 translation = {}) {
    return head.forward(shape, expr, rotation, neck, jaw, {0, 0, 0, 0, 0, 0}, translation, false, staticOffset, std::nullopt, eyelid).first;
}

void expectNearVertices(const Vertices& a, const Vertices& b, float tolerance = 1e-5f) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a[i].x, b[i].x, tolerance) << "vertex " << i;
        EXPECT_NEAR(a[i].y, b[i].y, tolerance) << "vertex " << i;
        EXPECT_NEAR(a[i].z, b[i].z, tolerance) << "vertex " << i;
    }
}

} // namespace

TEST(FlameForward, TheRestPoseReturnsTheTemplate) {
    auto head = smallHead();
    const auto [vertices, shaped] = head.forward({}, {}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, {});
    EXPECT_EQ(vertices, head.v_template);
    EXPECT_EQ(shaped, head.v_template);
    EXPECT_EQ(head.parents[0], -1);
}

TEST(FlameForward, BlendShapesStaticOffsetsEyelidsAndTranslationAddUp) {
    auto head = smallHead();
    const Vertices offsets = {{0, 0, 0.5f}, {0, 0, 0.25f}}; // shorter than the vertex list
    const auto [vertices, shaped] =
        head.forward({1, 2}, {3}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, {10, 20, 30}, false, offsets,
                     std::nullopt, std::vector<float>{0.5f});
    Vertices expectedShaped = head.v_template, expected;
    for (std::size_t v = 0; v < expectedShaped.size(); ++v) {
        expectedShaped[v] = expectedShaped[v] + simd::float3{1, 2, 3};
        if (v < offsets.size()) expectedShaped[v] = expectedShaped[v] + offsets[v];
        // Left eyelid scaled by 0.5, the right one by the missing second weight (0); then translation.
        expected.push_back(expectedShaped[v] + simd::float3{0, 0.5f, 0} + simd::float3{10, 20, 30});
    }
    expectNearVertices(shaped, expectedShaped);
    expectNearVertices(vertices, expected);
}

TEST(FlameForward, AGlobalQuarterTurnTurnsEveryVertexAboutTheRoot) {
    auto head = smallHead({0, 1, 2, 1, 0});
    Vertices expected;
    for (const auto& v : head.v_template) expected.push_back({v.z, v.y, -v.x}); // a quarter about y
    expectNearVertices(posed(head, {}, {}, {0, kHalfPi, 0}), expected);
}

TEST(FlameForward, TheJawTurnsItsVerticesAboutTheJawJoint) {
    // Vertex 2 on the jaw, whose joint is vertex 2's own rest position; vertex 4 on the jaw too.
    auto head = smallHead({0, 1, 2, 1, 2});
    const auto out = posed(head, {}, {}, {0, 0, 0}, {0, 0, 0}, {kHalfPi, 0, 0});
    // (1, 0, 1) relative to the jaw joint (1, 1, 0) is (0, -1, 1); a quarter about x gives (0, -1, -1).
    expectNearVertices({out[4]}, {{1, 0, -1}});
    expectNearVertices({out[0], out[1], out[2], out[3]}, {head.v_template[0], head.v_template[1], head.v_template[2], head.v_template[3]});
}

TEST(FlameForward, PoseCorrectivesFollowThePoseFeatures) {
    auto head = smallHead();
    // Feature 0 is element (0, 0) of the neck's R - I: cos(angle) - 1 for a turn about z.
    for (std::size_t i = 0; i < 15; ++i) head.posedirsFlat[i] = 1;
    const float angle = 0.3f;
    Vertices expected;
    for (const auto& v : head.v_template) expected.push_back(v + simd::float3{1, 1, 1} * (std::cos(angle) - 1));
    expectNearVertices(posed(head, {}, {}, {0, 0, 0}, {0, 0, angle}), expected);
}

TEST(FlameForward, ListsOfAnyLengthAreFittedToTheHead) {
    auto head = smallHead({0, 1, 2, 1, 0});
    const auto wellFormed = posed(head, {0.1f, 0.2f}, {0.3f}, {0.1f, 0.2f, 0.3f}, {0.1f, 0, 0}, {0.2f, 0, 0});
    // Longer lists are cut, shorter ones padded with zeros; the result is the same where the
    // extra values would have shifted every later pose value.
    EXPECT_EQ(posed(head, {0.1f, 0.2f, 9}, {0.3f, 9, 9}, {0.1f, 0.2f, 0.3f, 9}, {0.1f, 0, 0, 9}, {0.2f, 0, 0, 9}), wellFormed);
    EXPECT_EQ(posed(head, {0.1f, 0.2f}, {0.3f}, {0.1f, 0.2f, 0.3f}, {0.1f}, {0.2f}), wellFormed);
    EXPECT_EQ(posed(head, {}, {}, {}, {}, {}), posed(head, {0, 0}, {0}, {0, 0, 0}));
}

TEST(FlameForward, TheShapedTemplateFollowsNewShapesAndOffsets) {
    auto head = smallHead();
    const auto a = posed(head, {1, 0}, {}, {0, 0, 0});
    const auto b = posed(head, {0, 1}, {}, {0, 0, 0});
    const auto c = posed(head, {0, 1}, {}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, Vertices{{0, 0, 1}});
    EXPECT_EQ(a[0], (simd::float3{1, 0, 0}));
    EXPECT_EQ(b[0], (simd::float3{0, 1, 0}));
    EXPECT_EQ(c[0], (simd::float3{0, 1, 1}));
    EXPECT_EQ(c[1], (simd::float3{0, 2, 0}));
    // New model arrays are picked up once the head is told.
    head.v_template[0] = {5, 5, 5};
    head.modelDataChanged();
    EXPECT_EQ(posed(head, {}, {}, {0, 0, 0})[0], (simd::float3{5, 5, 5}));
}

TEST(FlameForward, AnEmptyBlendShapeBasisMovesNothing) {
    auto head = smallHead();
    head.shapedirsFlat.clear();
    head.modelDataChanged();
    EXPECT_EQ(posed(head, {1, 2}, {3}, {0, 0, 0}), head.v_template);
}

TEST(FlameForward, AnUnloadedOrBrokenHeadGivesNothing) {
    FlameHead empty(300, 100, FlameVersion::Mix);
    const auto [vertices, shaped] = empty.forward({1}, {1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, {1, 1, 1});
    EXPECT_TRUE(vertices.empty());
    EXPECT_TRUE(shaped.empty());

    auto wrongParent = smallHead();
    wrongParent.parents[3] = 4;
    EXPECT_TRUE(posed(wrongParent, {}, {}, {0, 0, 0}).empty());

    auto fewJoints = smallHead();
    fewJoints.J_regressor.pop_back();
    EXPECT_TRUE(posed(fewJoints, {}, {}, {0, 0, 0}).empty());

    auto wrongBasis = smallHead();
    wrongBasis.shapedirsFlat.pop_back();
    wrongBasis.modelDataChanged();
    EXPECT_TRUE(posed(wrongBasis, {}, {}, {0, 0, 0}).empty());
}

TEST(FlameForward, EyelidRowsThatAreMissingOrMalformedAddNothing) {
    auto head = smallHead();
    head.l_eyelid.resize(2);
    head.l_eyelid[1] = {1, 1};
    const auto out = posed(head, {}, {}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, std::nullopt, std::vector<float>{1, 2});
    expectNearVertices(out, {{0, 1, 2}, {0, 1, 2}, {1, 1, 2}, {0, 2, 2}, {1, 0, 3}});
}
