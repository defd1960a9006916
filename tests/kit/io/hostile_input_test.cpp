// Truncated, corrupted and random files: every read ends in points or a typed failure, with
// exactly one terminal report, never in a crash, a hang or an out-of-bounds access (the sanitizer
// build checks the last).

#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/io/dot_splat_scene_reader.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/io/splat_ply_scene_reader.hpp"
#include "tests/kit/io/ply_test_support.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace MivoKit;

namespace {

enum class Outcome { points, plyError, splatPLYError, dotSplatError, other };

struct Result {
    Outcome outcome;
    std::size_t points = 0;
};

class HostileInputTest : public ::testing::Test {
protected:
    // Reads the file through the scene reader its name chooses, checking that the read ends with
    // exactly one terminal report and that nothing follows it.
    Result read(const std::string& bytes, const char* name) {
        auto path = dir / name;
        testsupport::writeFile(path, bytes);
        struct Checking : SplatSceneReaderDelegate {
            void didStartReading(std::optional<std::uint32_t>) override { afterEnd += ended; }
            void didRead(std::span<const SplatScenePoint> batch) override {
                afterEnd += ended;
                points += batch.size();
            }
            void didFinishReading() override { afterEnd += ended++; }
            void didFailReading(std::exception_ptr e) override {
                afterEnd += ended++;
                error = e;
            }
            int ended = 0, afterEnd = 0;
            std::size_t points = 0;
            std::exception_ptr error;
        } delegate;
        AutodetectSceneReader(path).read(delegate);
        EXPECT_EQ(delegate.ended, 1) << name;
        EXPECT_EQ(delegate.afterEnd, 0) << name;
        if (!delegate.error) return {Outcome::points, delegate.points};
        try {
            std::rethrow_exception(delegate.error);
        } catch (const PLYReaderError&) {
            return {Outcome::plyError};
        } catch (const SplatPLYSceneReader::Error&) {
            return {Outcome::splatPLYError};
        } catch (const DotSplatSceneReader::Error&) {
            return {Outcome::dotSplatError};
        } catch (...) {
            return {Outcome::other};
        }
    }

    static ply_writer::VertexTable smallCloud() {
        ply_writer::VertexTable table({{"x"}, {"y"}, {"z"}, {"red", ply_writer::PropertyType::uint8},
                                       {"green", ply_writer::PropertyType::uint8},
                                       {"blue", ply_writer::PropertyType::uint8}, {"opacity"}, {"scale_0"},
                                       {"scale_1"}, {"scale_2"}, {"rot_0"}, {"rot_1"}, {"rot_2"}, {"rot_3"},
                                       {"binding_0"}});
        for (int i = 0; i < 4; ++i)
            table.addPoint(std::vector<float>{1.5f * i, -2, 3, 10, 20, 30, 0.5f, -4, -4, -4, 1, 0, 0, 0, 7});
        return table;
    }

    testsupport::TempDir dir;
};

TEST_F(HostileInputTest, TruncationAtEveryLength) {
    auto table = smallCloud();
    for (auto format : {ply_writer::Format::binaryLittleEndian, ply_writer::Format::binaryBigEndian,
                        ply_writer::Format::ascii}) {
        std::string file = ply_writer::encodePLY(table, format);
        auto whole = read(file, "cloud.ply");
        ASSERT_EQ(whole.outcome, Outcome::points);
        ASSERT_EQ(whole.points, 4u);
        for (std::size_t length = 0; length < file.size(); ++length) {
            auto result = read(file.substr(0, length), "cloud.ply");
            if (format == ply_writer::Format::ascii && result.outcome == Outcome::points) {
                // Cutting the last number short can leave a valid, shorter number.
                EXPECT_EQ(result.points, 4u) << length;
                EXPECT_GT(length, file.size() - 8) << length;
            } else {
                EXPECT_EQ(result.outcome, Outcome::plyError) << "length " << length;
            }
        }
    }

    std::vector<ply_writer::DotSplatRecord> records(3);
    std::string splat = ply_writer::encodeDotSplat(records);
    for (std::size_t length = 0; length <= splat.size(); ++length) {
        auto result = read(splat.substr(0, length), "cloud.splat");
        if (length % 32 == 0) EXPECT_EQ(result.points, length / 32);
        else EXPECT_EQ(result.outcome, Outcome::dotSplatError) << length;
    }
}

TEST_F(HostileInputTest, CorruptedBytes) {
    auto table = smallCloud();
    for (auto format : {ply_writer::Format::binaryLittleEndian, ply_writer::Format::ascii}) {
        const std::string file = ply_writer::encodePLY(table, format);
        for (std::size_t i = 0; i < file.size(); ++i) {
            for (char replacement : {'\0', '\xFF', '\n', '\r', ' ', '9', '-', 'e', '\x80'}) {
                if (file[i] == replacement) continue;
                std::string corrupted = file;
                corrupted[i] = replacement;
                auto result = read(corrupted, "cloud.ply");
                EXPECT_NE(result.outcome, Outcome::other) << "byte " << i;
                EXPECT_NE(result.outcome, Outcome::dotSplatError);
                if (result.outcome == Outcome::points) {
                    EXPECT_EQ(result.points, 4u) << "byte " << i;
                }
            }
        }
    }
}

TEST_F(HostileInputTest, HostileHeadersAndListCounts) {
    // Declared counts never size memory: a vertex element of 4294967295 points with two bytes of
    // body, a list whose count runs past the file, a negative list count.
    std::string splatHeader = "ply\nformat binary_little_endian 1.0\nelement vertex 4294967295\n";
    for (auto name : {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2", "rot_0",
                      "rot_1", "rot_2", "rot_3", "binding_0"})
        splatHeader += std::string("property float ") + name + "\n";
    EXPECT_EQ(read(splatHeader + "end_header\n\x01\x02", "huge.ply").outcome, Outcome::plyError);

    // Instances without properties take no bytes; billions of them that the splat reader ignores
    // are passed over at once instead of one by one.
    std::string junk = splatHeader;
    junk.replace(junk.find("4294967295"), 10, "0");
    junk += "element junk 4294967295\nend_header\n";
    auto skipped = read(junk, "junk.ply");
    EXPECT_EQ(skipped.outcome, Outcome::points);
    EXPECT_EQ(skipped.points, 0u);
    EXPECT_EQ(read("ply\nformat binary_little_endian 1.0\nelement vertex 4294967295\nend_header\n", "bare.ply").outcome,
              Outcome::splatPLYError);

    auto plyFailure = [&](const std::string& bytes) {
        testsupport::writeFile(dir / "lists.ply", bytes);
        plytest::RecordingDelegate delegate;
        PLYReader(dir / "lists.ply").read(delegate);
        return delegate.code;
    };
    std::string lists = "ply\nformat binary_little_endian 1.0\nelement face 1\nproperty list uint double l\nend_header\n";
    EXPECT_EQ(plyFailure(lists + plytest::Bytes().add<std::uint32_t>(0xFFFFFFF0u).add(1.0).str()),
              PLYReaderErrorCode::unexpectedEndOfFile);
    std::string negative = "ply\nformat binary_big_endian 1.0\nelement face 1\nproperty list int float l\nend_header\n";
    EXPECT_EQ(plyFailure(negative + plytest::Bytes(true).add<std::int32_t>(-5).str()),
              PLYReaderErrorCode::bodyInvalidStringForPropertyType);
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement vertex 99999999999\nend_header\n", "count.ply").outcome,
              Outcome::plyError);
}

TEST_F(HostileInputTest, RandomBytes) {
    std::mt19937 random(20240611);
    auto table = smallCloud();
    const std::string header = ply_writer::encodePLY(table, ply_writer::Format::binaryLittleEndian);
    const std::string headerOnly = header.substr(0, header.find("end_header\n") + 11);
    const std::string listHeader = "ply\nformat binary_big_endian 1.0\nelement face 3\nproperty list char short a\n"
                                   "property list uchar double b\nelement vertex 2\nproperty float x\nend_header\n";
    for (int round = 0; round < 600; ++round) {
        std::string noise(std::uniform_int_distribution<std::size_t>(0, 400)(random), '\0');
        for (auto& c : noise) c = static_cast<char>(random());
        const std::string* prefixes[] = {nullptr, &headerOnly, &listHeader};
        const std::string* prefix = prefixes[round % 3];
        std::string bytes = prefix ? *prefix + noise : "ply\n" + noise;
        EXPECT_NE(read(bytes, "noise.ply").outcome, Outcome::other) << round;
        EXPECT_NE(read(noise, "noise.splat").outcome, Outcome::other) << round;
    }
}

} // namespace
