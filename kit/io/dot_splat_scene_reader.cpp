#include "kit/io/dot_splat_scene_reader.hpp"

#include "kit/io/byte_order.hpp"
#include "kit/io/file_input_stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace MivoKit {

using Error = DotSplatSceneReader::Error;

Error Error::cannotOpenSource(const std::filesystem::path& url) {
    return {ErrorCode::cannotOpenSource, "DotSplatSceneReader.Error.cannotOpenSource(" + url.string() + ")", url};
}
Error Error::readError(const std::filesystem::path& url) {
    return {ErrorCode::readError, "DotSplatSceneReader.Error.readError(" + url.string() + ")", url};
}
Error Error::unexpectedEndOfFile() {
    return {ErrorCode::unexpectedEndOfFile, "DotSplatSceneReader.Error.unexpectedEndOfFile", std::nullopt};
}

namespace {

// The colour or opacity case, switched to it only when the point held another: reused points keep
// their cases from one batch to the next, so this is an in-place write.
template <class Alternative, class Variant>
Alternative& holding(Variant& variant) {
    if (auto* held = std::get_if<Alternative>(&variant)) return *held;
    return variant.template emplace<Alternative>();
}

// A record's position and scale (six floats), then its colour, opacity and rotation bytes.
void decodeFields(const float* floats, const std::uint8_t* bytes, SplatScenePoint& point) {
    const std::uint8_t* rot = bytes + 4;
    float w = static_cast<float>(rot[0]) - 128.0f;
    float x = static_cast<float>(rot[1]) - 128.0f;
    float y = static_cast<float>(rot[2]) - 128.0f;
    float z = static_cast<float>(rot[3]) - 128.0f;
    float lengthSquared = w * w + x * x + y * y + z * z;
    simd::quatf rotation; // identity
    if (lengthSquared != 0.0f) {
        float inverse = 1.0f / std::sqrt(lengthSquared);
        rotation = {x * inverse, y * inverse, z * inverse, w * inverse};
    }
    point.position = {floats[0], floats[1], floats[2]};
    point.normal.reset();
    holding<SplatScenePoint::Color::LinearUInt8>(point.color) = {bytes[0], bytes[1], bytes[2]};
    holding<SplatScenePoint::Opacity::LinearUInt8>(point.opacity) = {bytes[3]};
    holding<SplatScenePoint::Scale::LinearFloat>(point.scale) = {floats[3], floats[4], floats[5]};
    point.rotation = rotation;
    point.binding.reset();
}

// The record at `record`, read in place.
void decodeRecord(const std::uint8_t* record, SplatScenePoint& point) {
    std::array<float, 6> floats;
    byte_order::readArray<float>(record, 0, std::span<float>(floats), false);
    decodeFields(floats.data(), record + 24, point);
}

} // namespace

DotSplatSceneReader::EncodedSplatPoint::EncodedSplatPoint(std::span<const std::uint8_t> data, std::size_t offset) {
    std::array<float, 6> floats;
    std::array<std::uint8_t, 8> bytes;
    if (offset <= data.size() && data.size() - offset >= byteWidth) {
        // The whole record is there: plain reads, nothing to fill with zeros.
        byte_order::readArray<float>(data.data(), offset, std::span<float>(floats), false);
        byte_order::readArray<std::uint8_t>(data.data(), offset + 24, std::span<std::uint8_t>(bytes), false);
    } else {
        byte_order::readArray<float>(data, offset, std::span<float>(floats), false);
        byte_order::readArray<std::uint8_t>(data, offset + 24, std::span<std::uint8_t>(bytes), false);
    }
    std::copy_n(floats.begin(), 3, position.begin());
    std::copy_n(floats.begin() + 3, 3, scales.begin());
    std::copy_n(bytes.begin(), 4, color.begin());
    std::copy_n(bytes.begin() + 4, 4, rot.begin());
}

void DotSplatSceneReader::EncodedSplatPoint::decode(SplatScenePoint& point) const {
    std::array<float, 6> floats;
    std::array<std::uint8_t, 8> bytes;
    std::copy_n(position.begin(), 3, floats.begin());
    std::copy_n(scales.begin(), 3, floats.begin() + 3);
    std::copy_n(color.begin(), 4, bytes.begin());
    std::copy_n(rot.begin(), 4, bytes.begin() + 4);
    decodeFields(floats.data(), bytes.data(), point);
}

void DotSplatSceneReader::read(SplatSceneReaderDelegate& delegate) {
    constexpr std::size_t kRecord = EncodedSplatPoint::byteWidth;
    constexpr std::size_t kBatchSize = 2048;
    // Several batches per read() call, so that system calls cost little.
    constexpr std::size_t kBufferSize = 4 * kBatchSize * kRecord;

    auto input = FileInputStream::make(url_);
    if (!input) return delegate.didFailReading(std::make_exception_ptr(Error::cannotOpenSource(url_)));

    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
    // One batch's points, overwritten in place for every batch.
    std::vector<SplatScenePoint> points(kBatchSize);
    std::size_t buffered = 0;
    input->open();
    // The size tells the point count before any record is read, so the collector can make room
    // once instead of growing and copying.
    if (const auto size = input->size(); size && *size >= kRecord) delegate.expectPointCount(*size / kRecord);
    for (;;) {
        ssize_t n = input->read(buffer.get() + buffered, kBufferSize - buffered);
        if (n == 0) break;
        if (n < 0) return delegate.didFailReading(std::make_exception_ptr(Error::readError(url_)));
        buffered += static_cast<std::size_t>(n);
        const std::size_t records = buffered / kRecord;

        for (std::size_t first = 0; first < records; first += kBatchSize) {
            const std::size_t count = std::min(kBatchSize, records - first);
            for (std::size_t r = 0; r < count; ++r) decodeRecord(buffer.get() + (first + r) * kRecord, points[r]);
            delegate.didRead(std::span<const SplatScenePoint>(points.data(), count));
        }

        std::size_t leftover = buffered - records * kRecord;
        std::memmove(buffer.get(), buffer.get() + records * kRecord, leftover);
        buffered = leftover;
    }
    if (buffered == 0) delegate.didFinishReading();
    else delegate.didFailReading(std::make_exception_ptr(Error::unexpectedEndOfFile()));
}

} // namespace MivoKit
