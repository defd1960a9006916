#include "kit/io/dot_splat_scene_reader.hpp"

#include "kit/io/byte_order.hpp"
#include "kit/io/file_input_stream.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

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
    byte_order::readArray<float>(data, offset, std::span<float>(floats), false);
    std::array<std::uint8_t, 8> bytes;
    byte_order::readArray<std::uint8_t>(data, offset + 24, std::span<std::uint8_t>(bytes), false);
    std::copy_n(floats.begin(), 3, position.begin());
    std::copy_n(floats.begin() + 3, 3, scales.begin());
    std::copy_n(bytes.begin(), 4, color.begin());
    std::copy_n(bytes.begin() + 4, 4, rot.begin());
}

SplatScenePoint DotSplatSceneReader::EncodedSplatPoint::decoded() const {
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
    return SplatScenePoint({position[0], position[1], position[2]}, std::nullopt,
                           SplatScenePoint::Color::LinearUInt8{color[0], color[1], color[2]},
                           SplatScenePoint::Opacity::LinearUInt8{color[3]},
                           SplatScenePoint::Scale::LinearFloat{scales[0], scales[1], scales[2]}, rotation,
                           std::nullopt);
}

void DotSplatSceneReader::read(SplatSceneReaderDelegate& delegate) {
    constexpr std::size_t kBufferSize = 65536;
    constexpr std::size_t kRecord = EncodedSplatPoint::byteWidth;

    auto input = FileInputStream::make(url_);
    if (!input) return delegate.didFailReading(std::make_exception_ptr(Error::cannotOpenSource(url_)));

    auto buffer = std::make_unique<std::uint8_t[]>(kBufferSize);
    std::vector<SplatScenePoint> points;
    points.reserve(kBufferSize / kRecord);
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
        points.clear();
        for (std::size_t r = 0; r < records; ++r) points.push_back(EncodedSplatPoint(bytes, r * kRecord).decoded());
        delegate.didRead(points);

        std::size_t leftover = buffered - records * kRecord;
        std::memmove(buffer.get(), buffer.get() + records * kRecord, leftover);
        buffered = leftover;
    }
    if (buffered == 0) delegate.didFinishReading();
    else delegate.didFailReading(std::make_exception_ptr(Error::unexpectedEndOfFile()));
}
