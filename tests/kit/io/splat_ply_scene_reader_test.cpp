#include "kit/io/splat_ply_scene_reader.hpp"
#include "tests/kit/io/splat_scene_test_support.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

using Color = SplatScenePoint::Color;
using splattest::RecordingSceneDelegate;

const std::string kPrefix = "Unexpected file contents for a splat PLY: ";

// A header whose vertex element has `properties` ("float x", ...) and `count` instances.
std::string header(const std::vector<std::string>& properties, std::size_t count, const std::string& before = "",
                   const std::string& after = "") {
    std::string text = "ply\nformat ascii 1.0\n" + before + "element vertex " + std::to_string(count) + "\n";
    for (const auto& p : properties) text += "property " + p + "\n";
    return text + after + "end_header\n";
}

// x y z, then `color`, then opacity, scales, rotation, binding (the common tail).
std::vector<std::string> layout(std::vector<std::string> color, bool binding = true) {
    std::vector<std::string> p{"float x", "float y", "float z"};
    p.insert(p.end(), color.begin(), color.end());
    for (auto n : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        p.push_back(std::string("float ") + n);
    if (binding) p.push_back("float binding_0");
    return p;
}

std::vector<std::string> numbered(const std::string& type, const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(type + " " + prefix + std::to_string(i));
    return names;
}

// A row of `count` values: 1, 2, 3, ...
std::string row(std::size_t count, int start = 1) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i ? " " : "") + std::to_string(start + static_cast<int>(i));
    return text;
}

class SplatPLYSceneReaderTest : public ::testing::Test {
protected:
    RecordingSceneDelegate read(const std::string& fileText) {
        testsupport::writeFile(dir / "cloud.ply", fileText);
        RecordingSceneDelegate delegate;
        SplatPLYSceneReader(dir / "cloud.ply").read(delegate);
        EXPECT_EQ(delegate.terminalReports(), 1);
        return delegate;
    }
    RecordingSceneDelegate read(std::vector<std::string> properties, int points = 1) {
        std::string body;
        for (int i = 0; i < points; ++i) body += row(properties.size(), 10 * i + 1) + "\n";
        return read(header(properties, static_cast<std::size_t>(points)) + body);
    }
    std::string failure(std::vector<std::string> properties) {
        auto d = read(std::move(properties));
        return d.events.empty() ? "" : d.events.back();
    }

    testsupport::TempDir dir;
};

TEST_F(SplatPLYSceneReaderTest, FullSphericalHarmonicPointsWithNormals) {
    std::vector<std::string> color{"float nx", "float ny", "float nz", "float f_dc_0", "float f_dc_1", "float f_dc_2"};
    auto rest = numbered("float", "f_rest_", 45);
    color.insert(color.end(), rest.begin(), rest.end());
    auto d = read(layout(color), 3);
    EXPECT_EQ(d.events, (std::vector<std::string>{"start 3", "points 1", "points 1", "points 1", "finish"}));
    ASSERT_EQ(d.points.size(), 3u);
    const auto& p = d.points[1]; // values 11, 12, ... in declaration order
    EXPECT_EQ(p.position, (simd::float3{11, 12, 13}));
    EXPECT_EQ(p.normal, (simd::float3{14, 15, 16}));
    const auto& sh = std::get<Color::SphericalHarmonic>(p.color);
    EXPECT_EQ(sh.r, 17);
    EXPECT_EQ(sh.b, 19);
    ASSERT_EQ(sh.coefficients().size(), 45u);
    EXPECT_EQ(sh.coefficients().front(), 20);
    EXPECT_EQ(sh.coefficients().back(), 64);
    EXPECT_EQ(std::get<SplatScenePoint::Opacity::LogitFloat>(p.opacity).value, 65);
    EXPECT_EQ(std::get<SplatScenePoint::Scale::Exponent>(p.scale).z, 68);
    EXPECT_EQ(p.rotation, (simd::quatf{70, 71, 72, 69}));
    EXPECT_EQ(p.binding, 73.0f);
    // Every point owns its own coefficients.
    EXPECT_EQ(std::get<Color::SphericalHarmonic>(d.points[0].color).coefficients().front(), 10);
}

TEST_F(SplatPLYSceneReaderTest, NormalsAreOptionalButTyped) {
    auto dc = std::vector<std::string>{"float f_dc_0", "float f_dc_1", "float f_dc_2"};
    auto with = [&](std::vector<std::string> normals) {
        normals.insert(normals.end(), dc.begin(), dc.end());
        return layout(normals);
    };
    EXPECT_EQ(read(with({"float nxx", "float ny", "float nz"})).points.at(0).normal, (simd::float3{4, 5, 6}));
    EXPECT_EQ(read(with({"float nxx", "float nx", "float ny", "float nz"})).points.at(0).normal, (simd::float3{5, 6, 7}));
    EXPECT_EQ(read(with({"float ny", "float nz"})).points.at(0).normal, std::nullopt);
    EXPECT_EQ(failure(with({"double nx", "float ny", "float nz"})),
              "fail: " + kPrefix + "Unexpected type for property \"nx\"");
}

TEST_F(SplatPLYSceneReaderTest, ColourRulesInOrderOfPrecedence) {
    auto first = read(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}));
    EXPECT_TRUE(std::holds_alternative<Color::FirstOrderSphericalHarmonic>(first.points.at(0).color));

    auto bytes = read(layout({"uchar red", "uchar green", "uchar blue"}));
    const auto& u8 = std::get<Color::LinearUInt8>(bytes.points.at(0).color);
    EXPECT_EQ(std::vector<int>({u8.r, u8.g, u8.b}), std::vector<int>({4, 5, 6}));

    auto floats = read(layout({"float red", "float green", "float blue"}));
    EXPECT_EQ(std::get<Color::LinearFloat256>(floats.points.at(0).color).g, 5);

    // Two DC terms are ignored and the linear colour is used.
    auto partial = read(layout({"float f_dc_0", "float f_dc_1", "uchar red", "uchar green", "uchar blue"}));
    EXPECT_TRUE(std::holds_alternative<Color::LinearUInt8>(partial.points.at(0).color));

    auto sr = read(layout(numbered("float", "f_sr_", 8)));
    auto features = std::get<Color::SuperResolution>(sr.points.at(0).color).values();
    EXPECT_EQ(std::vector<float>(features.begin(), features.end()), (std::vector<float>{4, 5, 6, 7, 8, 9, 10, 11}));

    EXPECT_EQ(failure(layout({"float red", "uchar green", "uchar blue"})),
              "fail: " + kPrefix + "No color property elements found with the expected types");
}

TEST_F(SplatPLYSceneReaderTest, ColourPropertiesOfTheWrongShape) {
    auto dcAndRest = [](int restCount) {
        auto p = std::vector<std::string>{"float f_dc_0", "float f_dc_1", "float f_dc_2"};
        auto rest = numbered("float", "f_rest_", restCount);
        p.insert(p.end(), rest.begin(), rest.end());
        return layout(p);
    };
    EXPECT_EQ(failure(dcAndRest(44)), "fail: " + kPrefix + "No property named \"f_rest_44\" found");
    EXPECT_EQ(failure(layout({"double f_dc_0", "float f_dc_1", "float f_dc_2", "uchar red", "uchar green", "uchar blue"})),
              "fail: " + kPrefix + "Unexpected type for property \"f_dc_0\"");
    EXPECT_EQ(failure(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2", "double f_rest_0"})),
              "fail: " + kPrefix + "Unexpected type for property \"f_rest_0\"");
    EXPECT_EQ(failure(layout({"list uchar float f_dc_0", "float f_dc_1", "float f_dc_2"})),
              "fail: " + kPrefix + "Unexpected type for property \"f_dc_0\"");
    EXPECT_EQ(failure(layout(numbered("float", "f_sr_", 7))), "fail: " + kPrefix + "No property named \"f_sr_7\" found");
}

TEST_F(SplatPLYSceneReaderTest, RequiredProperties) {
    EXPECT_EQ(failure(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}, false)),
              "fail: " + kPrefix + "No property named \"binding_0\" found");
    EXPECT_EQ(failure({"float y", "float z"}), "fail: " + kPrefix + "No property named \"x\" found");
    EXPECT_EQ(failure({"double x"}), "fail: " + kPrefix + "Unexpected type for property \"x\"");

    auto noVertex = read("ply\nformat ascii 1.0\nelement points 1\nproperty float x\nend_header\n1\n");
    EXPECT_EQ(noVertex.events, (std::vector<std::string>{"fail: " + kPrefix + "No element type \"vertex\" found"}));
}

TEST_F(SplatPLYSceneReaderTest, OtherElementsAreSkippedAndTheFirstVertexIsUsed) {
    auto text = header(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}), 2,
                       "element face 2\nproperty list uchar int idx\n",
                       "element vertex 1\nproperty int other\nelement edge 1\nproperty int a\n");
    std::string body = "3 0 1 2\n0\n" + row(15) + "\n" + row(15, 100) + "\n7\n8\n";
    auto d = read(text + body);
    EXPECT_EQ(d.events, (std::vector<std::string>{"start 2", "points 1", "points 1", "finish"}));
    EXPECT_EQ(d.points.at(1).position.x, 100);
}

TEST_F(SplatPLYSceneReaderTest, EmptyCloudAndUnnormalisedRotation) {
    auto empty = read(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}), 0);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"start 0", "finish"}));

    auto d = read(header(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}), 1) +
                  "0 0 0 0 0 0 0 0 0 0 2 0 0 0 5\n");
    EXPECT_EQ(d.points.at(0).rotation, (simd::quatf{0, 0, 0, 2}));
}

TEST_F(SplatPLYSceneReaderTest, FailuresAreReportedOnce) {
    // PLY errors reach the delegate unchanged, after the points before them.
    auto d = read(header(layout({"float f_dc_0", "float f_dc_1", "float f_dc_2"}), 3) + row(15) + "\n" + row(14) +
                  "\n" + row(15) + "\n");
    EXPECT_EQ(d.events.size(), 3u);
    EXPECT_EQ(d.events[1], "points 1");
    try {
        std::rethrow_exception(d.error);
    } catch (const PLYReaderError& error) {
        EXPECT_EQ(error.code(), PLYReaderErrorCode::bodyMissingPropertyValuesInElement);
    }

    // A mapping failure stops all reports at once though the file goes on.
    auto bad = read(layout({"float red", "uchar green", "uchar blue"}), 50);
    EXPECT_EQ(bad.events.size(), 1u);

    RecordingSceneDelegate missing;
    SplatPLYSceneReader(dir / "missing.ply").read(missing);
    EXPECT_EQ(missing.events, (std::vector<std::string>{"fail: Error while reading " + (dir / "missing.ply").string()}));
}

TEST(SplatPLYSceneReaderError, Descriptions) {
    using Error = SplatPLYSceneReader::Error;
    EXPECT_EQ(Error::unsupportedFileContents(std::nullopt).description(), "Unexpected file contents for a splat PLY");
    EXPECT_EQ(Error::internalConsistency(std::nullopt).description(), "Internal error in SplatPLYSceneReader: (unknown)");
    EXPECT_EQ(Error::internalConsistency("x").description(), "Internal error in SplatPLYSceneReader: x");
    EXPECT_EQ(Error::unexpectedPointCountDiscrepancy().description(), "Unexpected point count discrepancy");
}

} // namespace
