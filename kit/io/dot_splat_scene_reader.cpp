#include "kit/io/dot_splat_scene_reader.hpp"

#include "kit/io/byte_order.hpp"
#include "kit/io/file_input_stream.hpp"

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
    point.position = {position[0], position[1], position[2]};
    point.normal.reset();
    point.color = SplatScenePoint::Color::LinearUInt8{color[0], color[1], color[2]};
    point.opacity = SplatScenePoint::Opacity::LinearUInt8{color[3]};
    point.scale = SplatScenePoint::Scale::LinearFloat{scales[0], scales[1], scales[2]};
    point.rotation = rotation;
    point.binding.reset();
}

void DotSplatSceneReader::read(SplatSceneReaderDelegate& delegate) {
    constexpr std::size_t kBufferSize = 65536;
    constexpr std::size_t kRecord = EncodedSplatPoint::byteWidth;

    auto input = FileInputStream::make(url_);
    if (!input) return delegate.didFailReading(std::make_exception_ptr(Error::cannotOpenSource(url_)));

    auto buffer = std::make_unique<std::uint8_t[]>(kBufferSize);
    // One chunk's points, overwritten in place for every chunk.
    std::vector<SplatScenePoint> points(kBufferSize / kRecord);
    std::size_t buffered = 0;
    input->open();
    for (;;) {
        ssize_t n = input->read(buffer.get() + buffered, kBufferSize - buffered);
        if (n == 0) break;
        if (n < 0) return delegate.didFailReading(std::make_exception_ptr(Error::readError(url_)));
        buffered += static_cast<std::size_t>(n);
        std::size_t records = buffered / kRecord;
        if (records == 0) continue;

        std::span<const std::uint8_t> bytes(buffer.get(), buffered);
        for (std::size_t r = 0; r < records; ++r) EncodedSplatPoint(bytes, r * kRecord).decode(points[r]);
        delegate.didRead(std::span<const SplatScenePoint>(points.data(), records));

        std::size_t leftover = buffered - records * kRecord;
        std::memmove(buffer.get(), buffer.get() + records * kRecord, leftover);
        buffered = leftover;
    }
    if (buffered == 0) delegate.didFinishReading();
    else delegate.didFailReading(std::make_exception_ptr(Error::unexpectedEndOfFile()));
}

} // namespace MivoKit
