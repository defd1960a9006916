// The row plan against the reference: binary files read through the plan must give the points
// that PointElementMapping::fill gives for the same file, field for field and bit for bit.

#include "kit/io/coefficient_arena.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/io/splat_ply_point_mapping.hpp"
#include "kit/io/splat_ply_scene_reader.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "tests/kit/io/ply_test_support.hpp"
#include "tests/kit/io/splat_scene_test_support.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>

using namespace MivoKit;

namespace {

using Color = SplatScenePoint::Color;
using ply_writer::Format;

// Every point of the file as the general path decodes it: one PLYElement per instance, filled
// through the mapping.
std::vector<SplatScenePoint> referencePoints(const std::filesystem::path& path) {
    struct Reference final : PLYReaderDelegate {
        void didStartReading(const PLYHeader& header) override { mapping.emplace(header); }
        void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element&) override {
            if (typeIndex != mapping->elementTypeIndex) return;
            mapping->fill(points.emplace_back(), element);
        }
        void didFinishReading() override {}
        void didFailReading(std::exception_ptr error) override { std::rethrow_exception(error); }
        std::optional<PointElementMapping> mapping;
        std::vector<SplatScenePoint> points;
    } reference;
    PLYReader(path).read(reference);
    return reference.points;
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

std::vector<std::uint32_t> bits(std::span<const float> values) {
    std::vector<std::uint32_t> result;
    for (float v : values) result.push_back(bits(v));
    return result;
}

std::vector<std::uint32_t> bits(const SplatScenePoint& p) {
    std::vector<std::uint32_t> b{bits(p.position.x), bits(p.position.y), bits(p.position.z), bits(p.rotation.x),
                                 bits(p.rotation.y), bits(p.rotation.z), bits(p.rotation.w)};
    b.push_back(p.normal.has_value());
    if (p.normal) b.insert(b.end(), {bits(p.normal->x), bits(p.normal->y), bits(p.normal->z)});
    b.push_back(p.binding.has_value());
    if (p.binding) b.push_back(bits(*p.binding));
    const auto& scale = std::get<SplatScenePoint::Scale::Exponent>(p.scale);
    b.insert(b.end(), {bits(scale.x), bits(scale.y), bits(scale.z)});
    b.push_back(bits(std::get<SplatScenePoint::Opacity::LogitFloat>(p.opacity).value));
    b.push_back(static_cast<std::uint32_t>(p.color.index()));
    std::visit(
        [&](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, Color::SphericalHarmonic>) {
                b.insert(b.end(), {bits(c.r), bits(c.g), bits(c.b)});
                auto rest = bits(c.coefficients());
                b.push_back(static_cast<std::uint32_t>(rest.size()));
                b.insert(b.end(), rest.begin(), rest.end());
            } else if constexpr (std::is_same_v<C, Color::SuperResolution>) {
                auto features = bits(c.values());
                b.insert(b.end(), features.begin(), features.end());
            } else if constexpr (std::is_same_v<C, Color::LinearUInt8>) {
                b.insert(b.end(), {c.r, c.g, c.b});
            } else {
                b.insert(b.end(), {bits(c.r), bits(c.g), bits(c.b)});
            }
        },
        static_cast<const Color::variant&>(p.color));
    return b;
}

void expectSamePoints(const std::vector<SplatScenePoint>& expected, const std::vector<SplatScenePoint>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(bits(expected[i]), bits(actual[i])) << "point " << i;
}

// Values with awkward bit patterns among plain random ones: negative zero, a denormal, a NaN with
// a payload, infinity.
ply_writer::VertexTable table(std::vector<ply_writer::Property> properties, std::size_t points) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(-100.0f, 100.0f);
    const float special[] = {-0.0f, std::numeric_limits<float>::denorm_min(),
                             std::bit_cast<float>(0x7FC01234u), std::numeric_limits<float>::infinity()};
    ply_writer::VertexTable result(properties);
    std::vector<float> row(properties.size());
    for (std::size_t i = 0; i < points; ++i) {
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (properties[k].type == ply_writer::PropertyType::uint8) row[k] = static_cast<float>(random() % 256);
            else row[k] = (i * 7 + k) % 61 == 0 ? special[(i + k) % 4] : unit(random);
        }
        result.addPoint(row);
    }
    return result;
}

std::vector<ply_writer::Property> standardWithBinding() {
    auto properties = ply_writer::standardLayout();
    properties.push_back({"binding_0"});
    return properties;
}

// Reads through the scene reader, as an application does, recording the batch sizes.
splattest::RecordingSceneDelegate readScene(const std::filesystem::path& path) {
    splattest::RecordingSceneDelegate delegate;
    SplatPLYSceneReader(path).read(delegate);
    return delegate;
}

std::size_t largestBatch(const splattest::RecordingSceneDelegate& d) {
    std::size_t largest = 0;
    for (const auto& event : d.events)
        if (event.rfind("points ", 0) == 0) largest = std::max<std::size_t>(largest, std::stoul(event.substr(7)));
    return largest;
}

TEST(SplatPLYRowPlan, StandardLayoutReadsAsTheReferenceInBothByteOrders) {
    testsupport::TempDir dir;
    // More points than one coefficient block holds, so rows cross reads, batches and blocks.
    const auto cloud = table(standardWithBinding(), CoefficientArena::kMaxBlockFloats / 45 + 1700);
    for (auto format : {Format::binaryLittleEndian, Format::binaryBigEndian}) {
        ply_writer::writePLY(dir / "cloud.ply", cloud, format);
        auto fast = readScene(dir / "cloud.ply");
        ASSERT_EQ(fast.events.back(), "finish");
        EXPECT_GT(largestBatch(fast), 1u); // the plan, not the reference, read it
        EXPECT_LE(largestBatch(fast), 2048u);
        expectSamePoints(referencePoints(dir / "cloud.ply"), fast.points);

        // And both agree with what was written.
        const auto& last = std::get<Color::SphericalHarmonic>(fast.points.back().color);
        auto row = cloud.point(cloud.pointCount() - 1);
        EXPECT_EQ(bits(last.coefficients()), bits(row.subspan(9, 45)));
        EXPECT_EQ(bits(fast.points.back().binding.value()), bits(row.back()));
    }
}

TEST(SplatPLYRowPlan, OtherPropertiesOfOtherWidthsAreSteppedOver) {
    // Unused uchar and double properties before, between and after the used ones, and the colour
    // encodings other than the harmonic one: every offset must account for the widths before it.
    testsupport::TempDir dir;
    auto u8 = [](const char* name) { return ply_writer::Property{name, ply_writer::PropertyType::uint8}; };
    std::vector<std::vector<ply_writer::Property>> layouts{
        {u8("flags"), {"x"}, {"y"}, {"z"}, u8("red"), u8("green"), u8("blue"), u8("pad"), {"opacity"}, {"scale_0"},
         {"scale_1"}, {"scale_2"}, {"rot_0"}, {"rot_1"}, {"rot_2"}, {"rot_3"}, {"binding_0"}, u8("tail")},
        {{"binding_0"}, {"rot_3"}, {"rot_2"}, {"rot_1"}, {"rot_0"}, {"scale_2"}, {"scale_1"}, {"scale_0"}, {"opacity"},
         {"f_dc_2"}, {"f_dc_1"}, {"f_dc_0"}, {"nz"}, {"ny"}, {"nx"}, {"z"}, {"y"}, {"x"}},
        {{"x"}, {"y"}, {"z"}, {"red"}, {"green"}, {"blue"}, {"opacity"}, {"scale_0"}, {"scale_1"}, {"scale_2"},
         {"rot_0"}, {"rot_1"}, {"rot_2"}, {"rot_3"}, {"binding_0"}},
    };
    auto superResolution = ply_writer::characterLayout();
    superResolution.erase(superResolution.begin() + 3, superResolution.begin() + 6);
    for (int i = 0; i < 8; ++i) superResolution.push_back({"f_sr_" + std::to_string(i)});
    layouts.push_back(superResolution);

    for (const auto& layout : layouts) {
        for (auto format : {Format::binaryLittleEndian, Format::binaryBigEndian}) {
            ply_writer::writePLY(dir / "cloud.ply", table(layout, 3000), format);
            auto fast = readScene(dir / "cloud.ply");
            ASSERT_EQ(fast.events.back(), "finish") << layout.front().name;
            EXPECT_GT(largestBatch(fast), 1u);
            expectSamePoints(referencePoints(dir / "cloud.ply"), fast.points);
        }
    }

    // An unused double in the row.
    std::string text = "ply\nformat binary_big_endian 1.0\nelement vertex 2\nproperty double time\n";
    for (auto name : ply_writer::characterLayout()) text += "property float " + name.name + "\n";
    text += "end_header\n";
    plytest::Bytes body(true);
    for (int point = 0; point < 2; ++point) {
        body.add(1e300 * point);
        for (int k = 0; k < 15; ++k) body.add(static_cast<float>(point * 100 + k));
    }
    testsupport::writeFile(dir / "double.ply", text + body.str());
    auto withDouble = readScene(dir / "double.ply");
    EXPECT_EQ(withDouble.events, (std::vector<std::string>{"start 2", "points 2", "finish"}));
    expectSamePoints(referencePoints(dir / "double.ply"), withDouble.points);
    EXPECT_EQ(withDouble.points.at(1).position, (simd::float3{100, 101, 102}));
    EXPECT_EQ(withDouble.points.at(1).binding, 114.0f);

    // Groups of other elements before and after the vertex rows.
    std::string groups = "ply\nformat binary_little_endian 1.0\nelement face 2\nproperty list uchar int idx\n"
                         "element vertex 2\n";
    for (auto name : ply_writer::characterLayout()) groups += "property float " + name.name + "\n";
    groups += "element edge 1\nproperty int a\nend_header\n";
    plytest::Bytes around;
    around.add<std::uint8_t>(1).add<std::int32_t>(7).add<std::uint8_t>(0);
    for (int point = 0; point < 2; ++point)
        for (int k = 0; k < 15; ++k) around.add(static_cast<float>(point * 100 + k));
    around.add<std::int32_t>(9);
    testsupport::writeFile(dir / "groups.ply", groups + around.str());
    auto withGroups = readScene(dir / "groups.ply");
    EXPECT_EQ(withGroups.events, (std::vector<std::string>{"start 2", "points 2", "finish"}));
    EXPECT_EQ(withGroups.points.at(0).position, (simd::float3{0, 1, 2}));
    EXPECT_EQ(withGroups.points.at(1).binding, 114.0f);
    testsupport::writeFile(dir / "groups.ply", groups + around.str().substr(0, around.str().size() - 1));
    EXPECT_EQ(readScene(dir / "groups.ply").events.back(),
              "fail: " + PLYReaderError::unexpectedEndOfFile(dir / "groups.ply").description());
}

TEST(SplatPLYRowPlan, UnusualLayoutsFallBackToTheReference) {
    testsupport::TempDir dir;
    // Coefficients out of order cannot be one block copy.
    auto shuffled = standardWithBinding();
    std::reverse(shuffled.begin() + 9, shuffled.begin() + 54);
    ply_writer::writePLY(dir / "shuffled.ply", table(shuffled, 300), Format::binaryLittleEndian);
    auto fallback = readScene(dir / "shuffled.ply");
    ASSERT_EQ(fallback.events.back(), "finish");
    EXPECT_EQ(largestBatch(fallback), 1u);
    expectSamePoints(referencePoints(dir / "shuffled.ply"), fallback.points);
    EXPECT_EQ(bits(std::get<Color::SphericalHarmonic>(fallback.points[5].color).coefficients()[0]),
              bits(table(shuffled, 300).point(5)[53])); // f_rest_0 is now the last of the run

    // A list in the row gives rows of varying size.
    std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex 2\n";
    for (auto name : ply_writer::characterLayout()) text += "property float " + name.name + "\n";
    text += "property list uchar int neighbours\nend_header\n";
    plytest::Bytes body;
    for (int point = 0; point < 2; ++point) {
        for (int k = 0; k < 15; ++k) body.add(static_cast<float>(point * 100 + k));
        body.add<std::uint8_t>(static_cast<std::uint8_t>(point + 1));
        for (int k = 0; k <= point; ++k) body.add<std::int32_t>(k);
    }
    testsupport::writeFile(dir / "list.ply", text + body.str());
    auto withList = readScene(dir / "list.ply");
    EXPECT_EQ(withList.events, (std::vector<std::string>{"start 2", "points 1", "points 1", "finish"}));
    EXPECT_EQ(withList.points.at(1).binding, 114.0f);
}

TEST(SplatPLYRowPlan, AFileCutInsideARowFailsAfterItsWholeRows) {
    testsupport::TempDir dir;
    const auto cloud = table(standardWithBinding(), 5000);
    const std::string file = ply_writer::encodePLY(cloud, Format::binaryLittleEndian);
    const std::size_t rowSize = 63 * 4;
    const std::size_t body = file.size() - 5000 * rowSize;
    for (std::size_t rows : {0, 1, 2047, 2048, 4999}) {
        testsupport::writeFile(dir / "cut.ply", file.substr(0, body + rows * rowSize + rowSize / 2));
        auto cut = readScene(dir / "cut.ply");
        EXPECT_EQ(cut.points.size(), rows);
        ASSERT_TRUE(cut.error);
        try {
            std::rethrow_exception(cut.error);
        } catch (const PLYReaderError& error) {
            EXPECT_EQ(error.code(), PLYReaderErrorCode::unexpectedEndOfFile) << rows;
        }
        EXPECT_EQ(cut.terminalReports(), 1);
    }
}

TEST(SplatPLYRowPlan, CoefficientsOutliveTheReaderAndTheBufferAndAreSharedByABatch) {
    testsupport::TempDir dir;
    const auto cloud = table(standardWithBinding(), 100);
    ply_writer::writePLY(dir / "cloud.ply", cloud, Format::binaryLittleEndian);

    SplatScenePoint kept;
    {
        auto reader = std::make_unique<SplatPLYSceneReader>(dir / "cloud.ply");
        SplatMemoryBuffer buffer;
        buffer.read(*reader);
        ASSERT_EQ(buffer.points.size(), 100u);
        const auto& first = std::get<Color::SphericalHarmonic>(buffer.points[0].color);
        const auto& other = std::get<Color::SphericalHarmonic>(buffer.points[99].color);
        // One block for the batch, not one allocation per point.
        EXPECT_FALSE(first.higherOrder.owner_before(other.higherOrder) ||
                     other.higherOrder.owner_before(first.higherOrder));
        EXPECT_NE(first.higherOrder.get(), other.higherOrder.get());
        kept = buffer.points[42];
    }
    const auto& sh = std::get<Color::SphericalHarmonic>(kept.color);
    ASSERT_EQ(sh.coefficients().size(), 45u);
    EXPECT_EQ(bits(sh.coefficients()), bits(cloud.point(42).subspan(9, 45)));
}

TEST(CoefficientArena, BlocksFollowTheAnnouncedCountUpToACap) {
    CoefficientArena honest(45, 10);
    auto all = honest.take(100);
    EXPECT_EQ(all.size(), 10u * 45);
    auto more = honest.take(3); // past the announced count: a block of just what is asked
    EXPECT_EQ(more.size(), 3u * 45);

    // A false count costs one capped block, and rooms never overlap.
    CoefficientArena hostile(45, std::numeric_limits<std::uint32_t>::max());
    auto first = hostile.take(std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(first.size(), CoefficientArena::kMaxBlockFloats / 45 * 45);
    auto second = hostile.take(1);
    EXPECT_EQ(second.size(), 45u);
    EXPECT_TRUE(second.data() >= first.data() + first.size() || second.data() + second.size() <= first.data());
}

} // namespace
