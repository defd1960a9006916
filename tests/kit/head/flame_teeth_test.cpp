#include "kit/head/flame_head.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

constexpr std::size_t N = 5023, M = 7;

// A template whose outer lip rings lie on two parallel lines one unit apart (so d = 1), with two
// shape coefficients and one expression coefficient.
FlameHead ringHead() {
    FlameHead head(2, 1, FlameVersion::V_2023);
    head.v_template.assign(N, {});
    head.shapedirs.assign(N, std::vector<std::vector<float>>(3, std::vector<float>(3, 0.0f)));
    head.posedirs.assign(36, std::vector<float>(3 * N, 0.0f));
    head.J_regressor.assign(5, std::vector<float>(N, 0.0f));
    head.lbs_weights.assign(N, std::vector<float>(5, 0.0f));
    head.faces = {{0, 1, 2}};
    head.face_uvs_idx = {{0, 1, 2}};
    head.vertex_uvs.assign(M, {});
    platform::log::Capture quiet; // no mask file here
    head.flameMask.emplace(head.faces, head.face_uvs_idx, std::ptrdiff_t(N));
    const auto up = head.flameMask->vertexIds({"lip_outside_ring_upper"});
    const auto lo = head.flameMask->vertexIds({"lip_outside_ring_lower"});
    for (std::size_t i = 0; i < 15; ++i) {
        head.v_template[std::size_t(up[i])] = {0.1f * float(i), 1, 0.2f};
        head.v_template[std::size_t(lo[i])] = {0.1f * float(i), 0, 0.2f};
        head.shapedirs[std::size_t(up[i])] = {{1, 2, 9}, {0, 0, 9}, {0, 0, 9}};
        head.shapedirs[std::size_t(lo[i])] = {{3, 4, 9}, {0, 0, 9}, {0, 0, 9}};
    }
    return head;
}

void expectNearTooth(simd::float3 a, simd::float3 b) {
    EXPECT_NEAR(a.x, b.x, 1e-5f);
    EXPECT_NEAR(a.y, b.y, 1e-5f);
    EXPECT_NEAR(a.z, b.z, 1e-5f);
}

} // namespace

TEST(FlameTeeth, AppendEightRowsOfFifteenWithTheirTopology) {
    headtest::ResourceDirectory resources;
    auto head = ringHead();
    ASSERT_TRUE(head.addTeeth());

    EXPECT_EQ(head.v_template.size(), N + 120);
    EXPECT_EQ(head.vertex_uvs.size(), M + 120);
    EXPECT_EQ(head.faces.size(), 1u + 168u);
    EXPECT_EQ(head.face_uvs_idx.size(), 1u + 168u);
    EXPECT_EQ(head.shapedirs.size(), N + 120);
    EXPECT_EQ(head.lbs_weights.size(), N + 120);
    for (const auto& row : head.posedirs) EXPECT_EQ(row.size(), 3 * (N + 120));
    for (const auto& row : head.J_regressor) EXPECT_EQ(row.size(), N + 120);

    // Teeth vertex 0 (row U1, column 0) and 105 (row L1b, column 0), with d = 1 and ybar = 0.5.
    expectNearTooth(head.v_template[N + 0], {0, 0.5f + 2.1f, 0.2f - 1.5f});
    expectNearTooth(head.v_template[N + 105], {0, 0.5f - 0.1f, 0.2f - 2.9f});
    expectNearTooth(head.v_template[N + 14], {1.4f, 2.6f, -1.3f});

    EXPECT_NEAR(head.vertex_uvs[M + 44].x, 0.38f, 1e-6f);
    EXPECT_NEAR(head.vertex_uvs[M + 44].y, 0.9917f, 1e-6f);
    EXPECT_NEAR(head.vertex_uvs[M + 90].x, 0.62f, 1e-6f);
    EXPECT_NEAR(head.vertex_uvs[M + 90].y, 0.9575f, 1e-6f);

    EXPECT_EQ(head.lbs_weights[N + 0], (std::vector<float>{0, 1, 0, 0, 0}));
    EXPECT_EQ(head.lbs_weights[N + 15], (std::vector<float>{0, 0, 1, 0, 0}));
    EXPECT_EQ(head.lbs_weights[N + 119], (std::vector<float>{0, 0, 1, 0, 0}));
    // Shape: the mean of the two ring vertices; expression: zero.
    EXPECT_EQ(head.shapedirs[N + 37][0], (std::vector<float>{2, 3, 0}));
    EXPECT_EQ(head.shapedirs[N + 37][1], (std::vector<float>{0, 0, 0}));

    // Triangle tables: upper first, each index past the template; the lower table's 50th triangle.
    EXPECT_EQ(head.faces[1], (FlameHead::Face{std::ptrdiff_t(N), std::ptrdiff_t(N + 31), std::ptrdiff_t(N + 30)}));
    EXPECT_EQ(head.faces[1 + 84 + 49], (FlameHead::Face{std::ptrdiff_t(N + 101), std::ptrdiff_t(N + 116), std::ptrdiff_t(N + 114)}));
    EXPECT_EQ(head.face_uvs_idx[1], (FlameHead::Face{std::ptrdiff_t(M), std::ptrdiff_t(M + 31), std::ptrdiff_t(M + 30)}));

    EXPECT_EQ(head.flameMask->vMask.at("teeth_upper").size(), 60u);
    EXPECT_EQ(head.flameMask->vMask.at("teeth_lower").front(), std::ptrdiff_t(N + 15));
    EXPECT_EQ(head.flameMask->vMask.at("teeth").size(), 120u);
}

TEST(FlameTeeth, AHeadWithoutTheLipRingsKeepsItsVerticesAndSaysSo) {
    headtest::ResourceDirectory resources;
    auto head = ringHead();
    head.v_template.resize(100);
    platform::log::Capture capture;
    EXPECT_FALSE(head.addTeeth());
    EXPECT_EQ(head.v_template.size(), 100u);
    EXPECT_EQ(head.faces.size(), 1u);
    EXPECT_EQ(capture.printed().size(), 1u);

    head.flameMask.reset();
    EXPECT_FALSE(head.addTeeth());
    EXPECT_EQ(head.faces.size(), 1u);
}
