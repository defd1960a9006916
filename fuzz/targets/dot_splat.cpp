// The .splat scene reader: headerless 32-byte little-endian records.
//
// Oracles besides the sanitizers: batches of 1 to 2048 points, exactly one terminal report and
// nothing after it; every whole record arrives, in order, with its position, scale, colour and
// opacity exactly as stored and a unit rotation; the read finishes exactly when no bytes are left
// over and otherwise fails with unexpectedEndOfFile.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/io/dot_splat_scene_reader.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

using namespace MivoKit;

namespace {

constexpr std::size_t kRecord = DotSplatSceneReader::EncodedSplatPoint::byteWidth;
constexpr std::size_t kMaxBatch = 2048;

float storedFloat(const std::uint8_t* record, std::size_t index) {
    std::uint32_t bits = 0;
    for (int b = 3; b >= 0; --b) bits = (bits << 8) | record[4 * index + std::size_t(b)];
    return std::bit_cast<float>(bits);
}

bool sameBits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// Compares each delivered point with the record it came from.
class Checking final : public SplatSceneReaderDelegate {
public:
    Checking(const std::uint8_t* data, std::size_t size) : data_(data), records_(size / kRecord) {}

    void didStartReading(std::optional<std::uint32_t>) override {
        if (starts_++ != 0 || delivered != 0 || ends_ != 0) fuzz::fail("dot splat: didStartReading twice or late");
    }
    void didRead(std::span<const SplatScenePoint> batch) override {
        if (ends_ != 0) fuzz::fail("dot splat: didRead after the end");
        if (batch.empty() || batch.size() > kMaxBatch) fuzz::fail("dot splat: a batch of 0 or more than 2048 points");
        if (delivered + batch.size() > records_) fuzz::fail("dot splat: more points than whole records");
        for (const auto& point : batch) check(point, data_ + kRecord * delivered++);
    }
    void didFinishReading() override {
        if (ends_++ != 0) fuzz::fail("dot splat: a second terminal report");
        finished = true;
    }
    void didFailReading(std::exception_ptr error) override {
        if (ends_++ != 0) fuzz::fail("dot splat: a second terminal report");
        try {
            if (error) std::rethrow_exception(error);
            fuzz::fail("dot splat: a failure without an error");
        } catch (const DotSplatSceneReader::Error& e) {
            code = e.code();
        } catch (const std::exception& e) {
            fuzz::fail(std::string("dot splat: the read failed with an undocumented error: ") + e.what());
        }
    }
    int ends() const { return ends_; }

    std::size_t delivered = 0;
    bool finished = false;
    std::optional<DotSplatSceneReader::ErrorCode> code;

private:
    static void check(const SplatScenePoint& p, const std::uint8_t* record) {
        const auto* color = std::get_if<SplatScenePoint::Color::LinearUInt8>(&p.color);
        const auto* opacity = std::get_if<SplatScenePoint::Opacity::LinearUInt8>(&p.opacity);
        const auto* scale = std::get_if<SplatScenePoint::Scale::LinearFloat>(&p.scale);
        if (!color || !opacity || !scale || p.normal || p.binding) fuzz::fail("dot splat: a point in the wrong encodings");
        if (!sameBits(p.position.x, storedFloat(record, 0)) || !sameBits(p.position.y, storedFloat(record, 1)) ||
            !sameBits(p.position.z, storedFloat(record, 2)))
            fuzz::fail("dot splat: a position differs from the record");
        if (!sameBits(scale->x, storedFloat(record, 3)) || !sameBits(scale->y, storedFloat(record, 4)) ||
            !sameBits(scale->z, storedFloat(record, 5)))
            fuzz::fail("dot splat: a scale differs from the record");
        if (color->r != record[24] || color->g != record[25] || color->b != record[26] || opacity->value != record[27])
            fuzz::fail("dot splat: a colour or opacity differs from the record");
        const auto& q = p.rotation;
        const float length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
        if (!(std::fabs(length - 1.0f) < 1e-5f)) fuzz::fail("dot splat: a rotation that is not a unit quaternion");
        // The stored components, less 128, point the same way as the rotation (real part first).
        const float stored[4] = {float(record[28]) - 128, float(record[29]) - 128, float(record[30]) - 128,
                                 float(record[31]) - 128};
        const float components[4] = {q.w, q.x, q.y, q.z};
        const float storedLength =
            std::sqrt(stored[0] * stored[0] + stored[1] * stored[1] + stored[2] * stored[2] + stored[3] * stored[3]);
        for (int i = 0; i < 4; ++i) {
            const float expected = storedLength == 0 ? (i == 0 ? 1.0f : 0.0f) : stored[i] / storedLength;
            if (!(std::fabs(components[i] - expected) < 1e-5f)) fuzz::fail("dot splat: a rotation differs from the record");
        }
    }

    const std::uint8_t* data_;
    std::size_t records_;
    int starts_ = 0, ends_ = 0;
};

std::vector<ply_writer::DotSplatRecord> records(std::size_t count) {
    std::vector<ply_writer::DotSplatRecord> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        auto& r = out[i];
        r.position = {float(i) * 0.01f, -float(i % 7), 0.5f};
        r.scale = {0.01f, 0.02f, 0.001f * float(i % 5)};
        r.rgba = {std::uint8_t(i), std::uint8_t(255 - i % 256), 128, std::uint8_t(i * 3)};
        r.rotation = {std::uint8_t(128 + i % 100), std::uint8_t(i % 256), 128, std::uint8_t(255 - i % 64)};
    }
    return out;
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    seeds.push_back({});
    seeds.push_back(fuzz::bytesOf(ply_writer::encodeDotSplat(records(1))));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodeDotSplat(records(5)) + "tail"));
    // All-128 rotations (the identity), zero rotations and non-finite floats.
    std::vector<ply_writer::DotSplatRecord> special(3);
    special[1].rotation = {0, 0, 0, 0};
    special[2].position = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -0.0f};
    seeds.push_back(fuzz::bytesOf(ply_writer::encodeDotSplat(special)));
    // More than one read buffer's worth.
    seeds.push_back(fuzz::bytesOf(ply_writer::encodeDotSplat(records(2049)) + "x"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto path = fuzz::writeInput("input.splat", data, size);
    Checking read(data, size);
    fuzz::endsWithOnly<>("DotSplatSceneReader::read", [&] { DotSplatSceneReader(path).read(read); });
    if (read.ends() != 1) fuzz::fail("dot splat: the read did not end with exactly one terminal report");
    if (read.delivered != size / kRecord) fuzz::fail("dot splat: whole records were not delivered");
    const bool whole = size % kRecord == 0;
    if (read.finished != whole) fuzz::fail("dot splat: finished with bytes left over, or failed without");
    if (!whole && read.code != DotSplatSceneReader::ErrorCode::unexpectedEndOfFile)
        fuzz::fail("dot splat: a cut record is not reported as unexpectedEndOfFile");
    return 0;
}
