#include "platform/ml/tensor_conversion.hpp"

#include "platform/dispatch/parallel_for.hpp"
#include "platform/gpu/half.hpp"
#include "platform/gpu/pixel_format.hpp"

#include <algorithm>
#include <cstring>

namespace MivoKit {

namespace platform::ml {

namespace {

// Rows per chunk: enough work per claim that a row of a few hundred elements is not all overhead.
constexpr std::size_t kRowsPerChunk = 16;

template <class Element, class Widen>
void copyRows(const MLMultiArray& array, float* destination, Widen widen) {
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    const std::size_t outer = shape.size() - 1;
    const std::int64_t width = shape.back();
    const std::int64_t step = strides.back();
    const auto* base = static_cast<const Element*>(array.dataPointer());
    platform::dispatch::parallelFor(static_cast<std::size_t>(array.count() / width), kRowsPerChunk, 0,
                                    [&](std::size_t begin, std::size_t end) {
        for (std::size_t row = begin; row < end; ++row) {
            // The row's position in the outer dimensions, last one fastest.
            std::int64_t offset = 0;
            std::int64_t rest = static_cast<std::int64_t>(row);
            for (std::size_t d = outer; d-- > 0;) {
                offset += (rest % shape[d]) * strides[d];
                rest /= shape[d];
            }
            const Element* source = base + offset;
            float* out = destination + static_cast<std::int64_t>(row) * width;
            for (std::int64_t x = 0; x < width; ++x) out[x] = widen(source[x * step]);
        }
    });
}

} // namespace

bool isContiguous(const MLMultiArray& array) {
    std::int64_t expected = 1;
    for (std::size_t d = array.shape().size(); d-- > 0;) {
        if (array.shape()[d] != 1 && array.strides()[d] != expected) return false;
        expected *= array.shape()[d];
    }
    return true;
}

void copyAsFloat32(const MLMultiArray& array, float* destination) {
    if (array.dataType() == MLMultiArrayDataType::float16)
        copyRows<std::uint16_t>(array, destination, [](std::uint16_t h) { return gpu::halfToFloat(h); });
    else
        copyRows<float>(array, destination, [](float f) { return f; });
}

void writeRGBPlanes(const float* planes, std::uint32_t width, std::uint32_t height, PixelBuffer& image) {
    const std::size_t plane = std::size_t(width) * height;
    platform::dispatch::parallelFor(height, kRowsPerChunk, 0, [&](std::size_t begin, std::size_t end) {
        // One interleaved row at a time, stored with the GPU's own rounding.
        std::vector<float> rgba(std::size_t(width) * 4);
        for (std::size_t y = begin; y < end; ++y) {
            const float* red = planes + y * width;
            for (std::uint32_t x = 0; x < width; ++x) {
                rgba[4 * x + 0] = red[x];
                rgba[4 * x + 1] = red[plane + x];
                rgba[4 * x + 2] = red[2 * plane + x];
                rgba[4 * x + 3] = 1.0f;
            }
            gpu::storePixels(gpu::PixelFormat::bgra8Unorm, rgba.data(), image.baseAddress() + y * image.bytesPerRow(),
                             width);
        }
    });
}

} // namespace platform::ml

} // namespace MivoKit
