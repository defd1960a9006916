#include "kit/head/gs_manager.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/head/head_fixtures.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace MivoKit;

namespace {

using headtest::Splat;

GSManager::HeadMap heads(std::initializer_list<FlameVersion> versions) {
    GSManager::HeadMap map;
    for (auto v : versions) map[v] = std::make_shared<FlameHead>(300, 100, v);
    return map;
}

struct Binder {
    headtest::ResourceDirectory resources;
    platform::log::Capture quiet; // loading prints about the missing teeth of the small mesh
    std::unique_ptr<GSManager> manager;

    explicit Binder(const std::vector<Splat>& splats, std::initializer_list<FlameVersion> versions = {FlameVersion::V_2023}) {
        headtest::TriangleHead::write(resources.path());
        headtest::writeSplats(resources / "cloud.ply", splats);
        manager = std::make_unique<GSManager>(resources / "cloud.ply", heads(versions));
        manager->start();
        manager->loadFlameStaticData({}, {}, std::nullopt);
    }
    SplatPointList frame(const FlameFrameData& f = FlameFrameData(), std::optional<FlameVersion> v = std::nullopt) {
        return manager->computeFrame(f, v).points;
    }
};

void expectNearSplat(simd::float3 a, simd::float3 b, float tolerance = 1e-6f) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

FlameFrameData lifted(float y) {
    FlameFrameData f;
    f.translation = {0, y, 0};
    return f;
}

} // namespace

TEST(GSManager, TriangleFramesFollowTheEdgesAndTheNormal) {
    const std::vector<simd::float3> v = {{0, 0, 0}, {1, 0, 0}, {0, 0, -1}, {0, 0, 0}, {1e-9f, 0, 0}, {0, 1, 0}};
    const auto [matrices, sizes] = GSManager::computeFaceOrientation(v, {{0, 1, 2}, {3, 4, 5}, {0, 1, 99}}, true);
    EXPECT_EQ(matrices[0], Float3x3::identity());
    EXPECT_FLOAT_EQ((*sizes)[0], 1.0f);
    // A first edge of length 1e-8 or less has no direction: the zero frame.
    EXPECT_EQ(matrices[1], Float3x3());
    // A corner past the vertex list gives the zero frame instead of reading past it.
    EXPECT_EQ(matrices[2], Float3x3());
    EXPECT_FLOAT_EQ((*sizes)[2], 0.0f);
    EXPECT_FALSE(GSManager::computeFaceOrientation(v, {{0, 1, 2}}, false).second.has_value());
}

TEST(GSManager, QuaternionsOfMatricesCoverEveryBranch) {
    const auto q = [](const Float3x3& m) { return GSManager::rotationMatrixToQuaternion(m); };
    EXPECT_EQ(q(Float3x3::identity()), (simd::float4{1, 0, 0, 0}));
    EXPECT_EQ(q(Float3x3()), (simd::float4{0.5f, 0, 0, 0}));
    // Half turns about x, y and z (trace -1) take the other three branches.
    const auto nearly = [](simd::float4 a, simd::float4 b) {
        return std::fabs(a.x - b.x) < 1e-6f && std::fabs(a.y - b.y) < 1e-6f && std::fabs(a.z - b.z) < 1e-6f &&
               std::fabs(a.w - b.w) < 1e-6f;
    };
    EXPECT_TRUE(nearly(q({{{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}}), {0, 1, 0, 0}));
    EXPECT_TRUE(nearly(q({{{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}}), {0, 0, 1, 0}));
    EXPECT_TRUE(nearly(q({{{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}}), {0, 0, 0, 1}));
}

TEST(GSManager, SplatsMoveWithTheirTriangles) {
    const float half = std::sqrt(0.5f);
    Binder b({{{0.5f, 0.25f, -1}, {0, 0, 0}, {0.5f, 0.5f, 0.5f, 0.5f}, 0},  // identity frame, size 1
              {{1, 0, 0}, {0, std::log(2.0f), 0}, {2, 0, 0, 0}, 1.9f},       // size 2, binding truncated to 1
              {{1, 2, 3}, {0, 0, 0}, {half, half, 0, 0}, 2}});               // degenerate triangle
    const auto points = b.frame();
    ASSERT_EQ(points.size(), 3u);

    expectNearSplat(points[0].position, {1.0f / 3 + 0.5f, 0.25f, -1.0f / 3 - 1});
    EXPECT_EQ(points[0].rotation, (simd::quatf{0.5f, 0.5f, 0.5f, 0.5f})); // the rotation read (w, x, y, z) = (.5, .5, .5, .5)
    const auto* scale = std::get_if<SplatScenePoint::Scale::LinearFloat>(&points[0].scale);
    ASSERT_NE(scale, nullptr);
    EXPECT_FLOAT_EQ(scale->x, 1);
    EXPECT_FALSE(points[0].normal.has_value());
    EXPECT_FALSE(points[0].binding.has_value());
    EXPECT_NE(std::get_if<SplatScenePoint::Color::FirstOrderSphericalHarmonic>(&points[0].color), nullptr);

    // Size 2: the offset and the scale double; the rotation is normalised.
    expectNearSplat(points[1].position, {2.0f / 3 + 2, 1, -2.0f / 3});
    const auto* doubled = std::get_if<SplatScenePoint::Scale::LinearFloat>(&points[1].scale);
    EXPECT_FLOAT_EQ(doubled->x, 2);
    EXPECT_FLOAT_EQ(doubled->y, 4);
    EXPECT_EQ(points[1].rotation, (simd::quatf{0, 0, 0, 1}));

    // The degenerate triangle holds its splats at its centre with the quaternion (w 0.5).
    expectNearSplat(points[2].position, {5, 5, 5});
    const simd::quatf spun = simd::quatf{half, 0, 0, half} * simd::quatf{0, 0, 0, 0.5f};
    expectNearSplat({points[2].rotation.x, points[2].rotation.y, points[2].rotation.z}, {spun.x, spun.y, spun.z});
    EXPECT_FLOAT_EQ(points[2].rotation.w, spun.w);

    // The posed vertices of the frame carry the translation.
    expectNearSplat(b.frame(lifted(1))[0].position, {1.0f / 3 + 0.5f, 1.25f, -1.0f / 3 - 1});
    EXPECT_EQ(b.manager->faceCenter().size(), 3u);
    EXPECT_EQ(b.manager->faceOrienQuat()[0], (simd::float4{1, 0, 0, 0}));
}

TEST(GSManager, SplatsWithoutAUsableBindingAreLeftOut) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    Binder b({{{0, 0, 0}, {}, {1, 0, 0, 0}, nan},
              {{1, 0, 0}, {}, {1, 0, 0, 0}, 0},
              {{0, 0, 0}, {}, {1, 0, 0, 0}, inf},
              {{0, 0, 0}, {}, {1, 0, 0, 0}, -1},
              {{0, 0, 0}, {}, {1, 0, 0, 0}, 3},
              {{0, 0, 0}, {}, {1, 0, 0, 0}, 1e30f},
              {{2, 0, 0}, {}, {1, 0, 0, 0}, 0}});
    EXPECT_EQ(b.manager->binding(), (std::vector<std::ptrdiff_t>{-1, 0, -1, -1, -1, -1, 0}));
    const auto points = b.frame();
    ASSERT_EQ(points.size(), 2u);
    EXPECT_FLOAT_EQ(points[0].position.x, 1.0f / 3 + 1);
    EXPECT_FLOAT_EQ(points[1].position.x, 1.0f / 3 + 2);
}

TEST(GSManager, ATriangleThePosingHeadLacksGivesTheZeroFrame) {
    Binder b({{{1, 0, 0}, {}, {1, 0, 0, 0}, 2}, {{1, 0, 0}, {}, {1, 0, 0, 0}, 0}}, {FlameVersion::V_2023, FlameVersion::V_2020});
    b.manager->flameHeadMap().at(FlameVersion::V_2020)->faces.pop_back();
    const auto points = b.frame(FlameFrameData(), FlameVersion::V_2020);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].position, (simd::float3{0, 0, 0}));
    EXPECT_FLOAT_EQ(points[1].position.x, 1.0f / 3 + 1);
}

TEST(GSManager, TheFrameVersionPicksTheHeadAndAMissingHeadGivesAnEmptyBuffer) {
    Binder b({{{1, 0, 0}, {}, {1, 0, 0, 0}, 0}}, {FlameVersion::V_2020});
    // The default version (2023) has no head: the requested one is used.
    EXPECT_EQ(b.frame(FlameFrameData(), FlameVersion::V_2020).size(), 1u);
    platform::log::Capture capture;
    SplatMemoryBuffer out;
    out.points.resize(3);
    EXPECT_FALSE(b.manager->computeFrame(FlameFrameData(), FlameVersion::Mix, out));
    EXPECT_TRUE(out.points.empty());
    EXPECT_TRUE(capture.printedLine("FlameHead not found for version: V_2023"));
    b.manager->setFlameVersion(FlameVersion::V_2020);
    EXPECT_EQ(b.frame(FlameFrameData(), FlameVersion::Mix).size(), 1u);
}

TEST(GSManager, TheFilterDropsLowAndWhiteSplatsForGood) {
    // Triangle 0 lies at y = 0: a local y of 0.2 puts a splat at 0.2, of 0.2001 just above.
    Binder b({{{0, 0.2f, 0}, {}, {1, 0, 0, 0}, 0},
              {{0, 0.2001f, 0}, {}, {1, 0, 0, 0}, 0},
              {{0, 0.5f, 0}, {}, {1, 0, 0, 0}, 0, {0.95f, 0.95f, 0.95f}},
              {{0, 0.5f, 0}, {}, {1, 0, 0, 0}, 0, {0.95f, 0.95f, 0.5f}}});
    b.manager->loadFlameStaticData({}, {}, ShapeMetaData{0.2f, {1, 1, 1}});
    auto points = b.frame();
    ASSERT_EQ(points.size(), 2u);
    EXPECT_FLOAT_EQ(points[0].position.y, 0.2001f);
    EXPECT_FLOAT_EQ(points[1].position.y, 0.5f);
    EXPECT_EQ((*b.manager->filteredIndices()), (std::vector<bool>{true, false, true, false}));
    // Once removed, always removed: lifting the head does not bring them back.
    EXPECT_EQ(b.frame(lifted(1)).size(), 2u);
    b.manager->clearFilterCache();
    EXPECT_FALSE(b.manager->filteredIndices().has_value());
    EXPECT_EQ(b.frame(lifted(1)).size(), 3u);
    // Without filter settings every splat is kept.
    b.manager->loadFlameStaticData({}, {}, std::nullopt);
    b.manager->clearFilterCache();
    EXPECT_EQ(b.frame().size(), 4u);
}

TEST(GSManager, ByteColoursCountAsTheirFractionOf255) {
    headtest::ResourceDirectory resources;
    platform::log::Capture quiet;
    headtest::TriangleHead::write(resources.path());
    ply_writer::VertexTable table({{"x"}, {"y"}, {"z"}, {"red", ply_writer::PropertyType::uint8},
                                   {"green", ply_writer::PropertyType::uint8}, {"blue", ply_writer::PropertyType::uint8},
                                   {"opacity"}, {"scale_0"}, {"scale_1"}, {"scale_2"}, {"rot_0"}, {"rot_1"}, {"rot_2"},
                                   {"rot_3"}, {"binding_0"}});
    for (std::array<float, 3> rgb : {std::array<float, 3>{230, 230, 230}, std::array<float, 3>{229, 255, 255}}) {
        const float row[] = {0, 1, 0, rgb[0], rgb[1], rgb[2], 1, 0, 0, 0, 1, 0, 0, 0, 0};
        table.addPoint(row);
    }
    ply_writer::writePLY(resources / "cloud.ply", table, ply_writer::Format::ascii);
    GSManager manager(resources / "cloud.ply", heads({FlameVersion::V_2023}));
    manager.start();
    manager.loadFlameStaticData({}, {}, ShapeMetaData{-1, {}});
    const auto points = manager.computeFrame(FlameFrameData()).points;
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(std::get<SplatScenePoint::Color::LinearUInt8>(points[0].color).r, 229);
}

TEST(GSManager, StartReportsReaderErrorsAndWorksWithoutACloud) {
    headtest::ResourceDirectory resources;
    platform::log::Capture capture;
    headtest::TriangleHead::write(resources.path());
    GSManager missing(resources / "nothing.ply", heads({FlameVersion::V_2023}));
    EXPECT_ANY_THROW(missing.start());
    GSManager unknown(resources / "cloud.xyz", heads({FlameVersion::V_2023}));
    EXPECT_ANY_THROW(unknown.start());

    GSManager none(std::nullopt, heads({FlameVersion::V_2023}));
    none.start();
    EXPECT_TRUE(capture.printedLine("ply文件路径为空"));
    EXPECT_TRUE(capture.printedLine("GSManager: start"));
    EXPECT_TRUE(none.computeFrame(FlameFrameData()).points.empty());
    EXPECT_EQ(none.vertices().size(), 9u);
}
