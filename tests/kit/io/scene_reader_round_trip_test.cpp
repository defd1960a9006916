#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace MivoKit;

namespace {

using ply_writer::Format;

// A character-layout cloud whose values cover awkward floats (negative zero, denormals, huge
// values, long fractions).
ply_writer::VertexTable characterCloud(std::size_t points) {
    ply_writer::VertexTable table(ply_writer::characterLayout());
    for (std::size_t i = 0; i < points; ++i) {
        float f = static_cast<float>(i);
        std::vector<float> row{f * 0.1f,    -f * 1e-3f, i == 0 ? -0.0f : 1.0f / (f + 3.0f),
                               0.5f,        -1.25f,     std::numeric_limits<float>::denorm_min(),
                               -2.0f + f,   std::log(0.01f), std::log(0.02f), 3e38f,
                               1.0f,        0.0f,       0.1f,  -0.7f,
                               static_cast<float>(i % 9976)};
        table.addPoint(row);
    }
    return table;
}

void expectSameBits(float expected, float actual, const char* what, std::size_t point) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(expected), std::bit_cast<std::uint32_t>(actual))
        << what << " of point " << point;
}

class CharacterLayoutRoundTrip : public ::testing::TestWithParam<Format> {};

TEST_P(CharacterLayoutRoundTrip, EveryValueReadsBackBitForBit) {
    testsupport::TempDir dir;
    auto table = characterCloud(5000); // several read chunks and buffer compactions
    ply_writer::writePLY(dir / "cloud.ply", table, GetParam());

    AutodetectSceneReader reader(dir / "cloud.ply");
    SplatMemoryBuffer buffer;
    buffer.read(reader);
    ASSERT_EQ(buffer.points.size(), table.pointCount());
    for (std::size_t i = 0; i < table.pointCount(); ++i) {
        auto row = table.point(i);
        const auto& p = buffer.points[i];
        expectSameBits(row[0], p.position.x, "x", i);
        expectSameBits(row[1], p.position.y, "y", i);
        expectSameBits(row[2], p.position.z, "z", i);
        const auto* color = std::get_if<SplatScenePoint::Color::FirstOrderSphericalHarmonic>(&p.color);
        ASSERT_NE(color, nullptr);
        expectSameBits(row[3], color->r, "f_dc_0", i);
        expectSameBits(row[4], color->g, "f_dc_1", i);
        expectSameBits(row[5], color->b, "f_dc_2", i);
        expectSameBits(row[6], std::get<SplatScenePoint::Opacity::LogitFloat>(p.opacity).value, "opacity", i);
        const auto& scale = std::get<SplatScenePoint::Scale::Exponent>(p.scale);
        expectSameBits(row[7], scale.x, "scale_0", i);
        expectSameBits(row[9], scale.z, "scale_2", i);
        expectSameBits(row[10], p.rotation.w, "rot_0", i);
        expectSameBits(row[11], p.rotation.x, "rot_1", i);
        expectSameBits(row[13], p.rotation.z, "rot_3", i);
        ASSERT_TRUE(p.binding.has_value());
        EXPECT_EQ(*p.binding, row[14]);
        EXPECT_FALSE(p.normal.has_value());
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, CharacterLayoutRoundTrip,
                         ::testing::Values(Format::ascii, Format::binaryLittleEndian, Format::binaryBigEndian),
                         [](const auto& info) {
                             switch (info.param) {
                             case Format::ascii: return "Ascii";
                             case Format::binaryLittleEndian: return "BinaryLittleEndian";
                             case Format::binaryBigEndian: return "BinaryBigEndian";
                             }
                             return "";
                         });

TEST(SceneReaderIntoBuffer, FailedReadKeepsThePreviousPoints) {
    testsupport::TempDir dir;
    auto table = characterCloud(10);
    std::string file = ply_writer::encodePLY(table, Format::binaryLittleEndian);
    testsupport::writeFile(dir / "whole.ply", file);
    testsupport::writeFile(dir / "cut.ply", file.substr(0, file.size() - 30));

    SplatMemoryBuffer buffer;
    AutodetectSceneReader whole(dir / "whole.ply");
    buffer.read(whole);
    AutodetectSceneReader cut(dir / "cut.ply");
    try {
        buffer.read(cut);
        FAIL() << "a truncated file read";
    } catch (const PLYReaderError& error) {
        EXPECT_EQ(error.code(), PLYReaderErrorCode::unexpectedEndOfFile);
    }
    EXPECT_EQ(buffer.points.size(), 10u);
}

TEST(SceneReaderIntoBuffer, ADeclaredCountIsNoPromise) {
    // The buffer makes room for the declared points up front, but a false count must neither
    // exhaust memory nor change the outcome: the file still fails as truncated.
    testsupport::TempDir dir;
    std::string file = ply_writer::encodePLY(characterCloud(3), Format::binaryLittleEndian);
    file.replace(file.find("vertex 3"), 8, "vertex 4294967295");
    testsupport::writeFile(dir / "claims.ply", file);
    SplatMemoryBuffer buffer;
    AutodetectSceneReader reader(dir / "claims.ply");
    try {
        buffer.read(reader);
        FAIL() << "a file with fewer points than declared read";
    } catch (const PLYReaderError& error) {
        EXPECT_EQ(error.code(), PLYReaderErrorCode::unexpectedEndOfFile);
    }
}

TEST(DotSplatRoundTrip, RecordsDecodeToLinearPoints) {
    testsupport::TempDir dir;
    std::vector<ply_writer::DotSplatRecord> records(70000);
    for (std::size_t i = 0; i < records.size(); ++i) {
        auto& r = records[i];
        r.position = {static_cast<float>(i), -1.5f, 2.0f};
        r.scale = {0.01f, 0.02f, 0.03f};
        r.rgba = {static_cast<std::uint8_t>(i), 0, 255, 128};
        r.rotation = {static_cast<std::uint8_t>(128 + i % 100), 128, 128, 128};
    }
    ply_writer::writeDotSplat(dir / "cloud.SPLAT", records);

    AutodetectSceneReader reader(dir / "cloud.SPLAT");
    SplatMemoryBuffer buffer;
    buffer.read(reader);
    ASSERT_EQ(buffer.points.size(), records.size());
    for (std::size_t i = 0; i < records.size(); i += 997) {
        const auto& p = buffer.points[i];
        EXPECT_EQ(p.position.x, static_cast<float>(i));
        const auto& color = std::get<SplatScenePoint::Color::LinearUInt8>(p.color);
        EXPECT_EQ(color.r, static_cast<std::uint8_t>(i));
        EXPECT_EQ(color.b, 255);
        EXPECT_EQ(std::get<SplatScenePoint::Opacity::LinearUInt8>(p.opacity).value, 128);
        EXPECT_EQ(std::get<SplatScenePoint::Scale::LinearFloat>(p.scale).y, 0.02f);
        EXPECT_FLOAT_EQ(p.rotation.w, 1.0f) << i; // (k, 0, 0, 0) normalises to the identity, k = 0 included
        EXPECT_FALSE(p.binding.has_value());
        EXPECT_FALSE(p.normal.has_value());
    }
}

} // namespace
