#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/io/dot_splat_scene_reader.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "tests/kit/io/splat_scene_test_support.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace MivoKit;

namespace {

using splattest::RecordingSceneDelegate;

std::optional<DotSplatSceneReader::ErrorCode> dotSplatError(const RecordingSceneDelegate& d) {
    try {
        if (d.error) std::rethrow_exception(d.error);
    } catch (const DotSplatSceneReader::Error& error) {
        return error.code();
    }
    return std::nullopt;
}

TEST(DotSplatSceneReader, ChunksAndTrailingBytes) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "empty.splat", "");
    RecordingSceneDelegate empty;
    DotSplatSceneReader(dir / "empty.splat").read(empty);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"finish"}));

    testsupport::writeFile(dir / "short.splat", std::string(100, '\x80'));
    RecordingSceneDelegate shortFile;
    DotSplatSceneReader(dir / "short.splat").read(shortFile);
    EXPECT_EQ(shortFile.events, (std::vector<std::string>{"points 3", "fail: DotSplatSceneReader.Error.unexpectedEndOfFile"}));
    EXPECT_EQ(dotSplatError(shortFile), DotSplatSceneReader::ErrorCode::unexpectedEndOfFile);

    std::vector<ply_writer::DotSplatRecord> records(70000);
    for (std::size_t i = 0; i < records.size(); ++i) records[i].position[0] = static_cast<float>(i);
    ply_writer::writeDotSplat(dir / "big.splat", records);
    RecordingSceneDelegate big;
    DotSplatSceneReader reader(dir / "big.splat");
    reader.read(big);
    ASSERT_EQ(big.points.size(), 70000u);
    EXPECT_EQ(big.events.back(), "finish");
    for (std::size_t i = 0; i + 1 < big.events.size(); ++i) {
        int batch = std::stoi(big.events[i].substr(7));
        EXPECT_GE(batch, 1);
        EXPECT_LE(batch, 2048);
    }
    for (std::size_t i = 0; i < big.points.size(); ++i)
        if (big.points[i].position.x != static_cast<float>(i)) FAIL() << "point " << i << " out of order";

    // No state is kept between reads.
    RecordingSceneDelegate again;
    reader.read(again);
    EXPECT_EQ(again.points.size(), 70000u);
}

TEST(DotSplatSceneReader, UnreadableSources) {
    testsupport::TempDir dir;
    RecordingSceneDelegate missing;
    DotSplatSceneReader(dir / "missing.splat").read(missing);
    EXPECT_EQ(dotSplatError(missing), DotSplatSceneReader::ErrorCode::readError);
    EXPECT_EQ(missing.terminalReports(), 1);

    RecordingSceneDelegate noPath;
    DotSplatSceneReader("").read(noPath);
    EXPECT_EQ(dotSplatError(noPath), DotSplatSceneReader::ErrorCode::cannotOpenSource);
}

// A large file's list is sized once from the file's size, not grown by doubling and copying;
// a size that claims far more points than arrive reserves no more than a bounded amount.
TEST(DotSplatSceneReader, TheCollectedListIsSizedFromTheFile) {
    testsupport::TempDir dir;
    std::vector<ply_writer::DotSplatRecord> records(150000);
    for (std::size_t i = 0; i < records.size(); ++i) records[i].position[1] = static_cast<float>(i);
    ply_writer::writeDotSplat(dir / "large.splat", records);
    SplatMemoryBuffer buffer;
    AutodetectSceneReader reader(dir / "large.splat");
    buffer.read(reader);
    ASSERT_EQ(buffer.points.size(), records.size());
    EXPECT_EQ(buffer.points.capacity(), records.size());
    EXPECT_EQ(buffer.points.back().position.y, 149999.0f);

    struct ClaimingReader : SplatSceneReader {
        void read(SplatSceneReaderDelegate& delegate) override {
            delegate.expectPointCount(std::size_t(1) << 40);
            std::vector<SplatScenePoint> three(3);
            delegate.didRead(three);
            delegate.didFinishReading();
        }
    } claiming;
    SplatMemoryBuffer few;
    few.read(claiming);
    EXPECT_EQ(few.points.size(), 3u);
    EXPECT_LE(few.points.capacity(), std::size_t(1) << 20);
}

TEST(DotSplatSceneReader, RecordDecoding) {
    auto decode = [](std::array<std::uint8_t, 4> rgba, std::array<std::uint8_t, 4> rot) {
        ply_writer::DotSplatRecord record{{1, -2, 3.5f}, {0.5f, 0.25f, 2}, rgba, rot};
        std::string bytes = ply_writer::encodeDotSplat(std::span(&record, 1));
        SplatScenePoint point;
        DotSplatSceneReader::EncodedSplatPoint(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0)
            .decode(point);
        return point;
    };
    auto p = decode({255, 0, 0, 128}, {128, 128, 128, 128});
    EXPECT_EQ(p.position, (simd::float3{1, -2, 3.5f}));
    const auto& c = std::get<SplatScenePoint::Color::LinearUInt8>(p.color);
    EXPECT_EQ(std::vector<int>({c.r, c.g, c.b}), std::vector<int>({255, 0, 0}));
    EXPECT_EQ(std::get<SplatScenePoint::Opacity::LinearUInt8>(p.opacity).value, 128);
    EXPECT_EQ(std::get<SplatScenePoint::Scale::LinearFloat>(p.scale).y, 0.25f);
    EXPECT_EQ(p.rotation, (simd::quatf{0, 0, 0, 1}));

    EXPECT_EQ(decode({}, {255, 128, 128, 128}).rotation, (simd::quatf{0, 0, 0, 1}));
    EXPECT_EQ(decode({}, {128, 255, 128, 128}).rotation, (simd::quatf{1, 0, 0, 0}));
    auto q = decode({}, {0, 255, 1, 200}).rotation;
    EXPECT_NEAR(std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w), 1.0f, 1e-6f);
    EXPECT_LT(q.w, 0.0f);

    // A record cut short reads its missing bytes as zero.
    std::array<std::uint8_t, 4> oneFloat{0, 0, 0x80, 0x3F};
    DotSplatSceneReader::EncodedSplatPoint partial(oneFloat, 0);
    EXPECT_EQ(partial.position[0], 1.0f);
    EXPECT_EQ(partial.scales[2], 0.0f);
    EXPECT_EQ(partial.rot[3], 0);
}

TEST(AutodetectSceneReader, ChoosesTheReaderByExtension) {
    testsupport::TempDir dir;
    ply_writer::VertexTable table(ply_writer::characterLayout());
    table.addPoint(std::vector<float>(15, 0.5f));
    for (auto name : {"a.ply", "b.PLY", "c.Ply", "d.tar.ply"}) ply_writer::writePLY(dir / name, table, ply_writer::Format::ascii);
    std::vector<ply_writer::DotSplatRecord> record(1);
    ply_writer::writeDotSplat(dir / "e.Splat", record);

    for (auto name : {"a.ply", "b.PLY", "c.Ply", "d.tar.ply"}) {
        RecordingSceneDelegate d;
        AutodetectSceneReader(dir / name).read(d);
        EXPECT_EQ(d.events, (std::vector<std::string>{"start 1", "points 1", "finish"})) << name;
    }
    RecordingSceneDelegate splat;
    AutodetectSceneReader(dir / "e.Splat").read(splat);
    EXPECT_EQ(splat.events, (std::vector<std::string>{"points 1", "finish"}));

    for (auto name : {"cloud.ply.gz", "cloud", "mesh.obj", "cloud.ply.", "plyfile"}) {
        try {
            AutodetectSceneReader reader(dir / name);
            ADD_FAILURE() << name;
        } catch (const AutodetectSceneReader::Error& error) {
            EXPECT_EQ(error.code(), AutodetectSceneReader::ErrorCode::unknownPathExtension);
        }
    }
    // Choosing opens nothing: a missing file is only reported when read.
    AutodetectSceneReader missing(dir / "missing.ply");
    SplatMemoryBuffer buffer;
    EXPECT_THROW(buffer.read(missing), PLYReaderError);
}

} // namespace
