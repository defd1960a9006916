#pragma once
// Inputs for the super-resolution models and the colour a model should give for flat features,
// worked out by Python from the weights in the model file (an evaluation independent of OpenCV).

#include "platform/gpu/half.hpp"
#include "platform/ml/ml_multi_array.hpp"
#include "platform/ml/pixel_buffer.hpp"
#include "tests/support/python/python_script.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace MivoKit;

namespace mltest {

using Features = std::array<float, 8>;

// A packed half-precision [8, height, width] array; channel c at (y, x) is value(c, y, x).
template <class Value>
std::shared_ptr<platform::ml::MLMultiArray> halfFeatures(std::int64_t height, std::int64_t width, Value value) {
    auto array = std::make_shared<platform::ml::MLMultiArray>(std::vector<std::int64_t>{8, height, width},
                                                              platform::ml::MLMultiArrayDataType::float16);
    auto* halves = static_cast<std::uint16_t*>(array->dataPointer());
    for (std::int64_t c = 0; c < 8; ++c)
        for (std::int64_t y = 0; y < height; ++y)
            for (std::int64_t x = 0; x < width; ++x)
                halves[(c * height + y) * width + x] = platform::gpu::floatToHalf(value(c, y, x));
    return array;
}

inline std::shared_ptr<platform::ml::MLMultiArray> flatFeatures(std::int64_t height, std::int64_t width,
                                                                const Features& features) {
    return halfFeatures(height, width, [&](std::int64_t c, std::int64_t, std::int64_t) { return features[c]; });
}

// The bytes (b, g, r, a) a model stores for flat `features`: its colour mix times the gain of its
// sharpening kernel, clipped, read from the model's initializers.
inline std::array<int, 4> expectedFlatPixel(const std::filesystem::path& model, const Features& features) {
    static constexpr const char* script = R"(
import sys
import numpy as np
import onnx
from onnx import numpy_helper
weights = {t.name: numpy_helper.to_array(t) for t in onnx.load(sys.argv[1]).graph.initializer}
features = np.array([float(v) for v in sys.argv[2:]], np.float64)
colour = weights["colour_mix_weight"][:, :, 0, 0].astype(np.float64) @ features
gain = weights["sharpen_weight"].reshape(3, -1).astype(np.float64).sum(axis=1)
print(" ".join(repr(float(v)) for v in np.clip(colour * gain, 0.0, 1.0)))
)";
    std::vector<std::string> arguments{model.string()};
    for (float f : features) { // as the half input holds it
        std::ostringstream text;
        text.precision(9);
        text << platform::gpu::halfToFloat(platform::gpu::floatToHalf(f));
        arguments.push_back(text.str());
    }
    std::istringstream rgb(testsupport::runPython(script, arguments));
    double r = 0, g = 0, b = 0;
    rgb >> r >> g >> b;
    auto byte = [](double v) { return static_cast<int>(std::lround(v * 255.0)); };
    return {byte(b), byte(g), byte(r), 255};
}

inline std::array<int, 4> pixelAt(const platform::ml::PixelBuffer& image, std::uint32_t x, std::uint32_t y) {
    const std::byte* p = image.baseAddress() + y * image.bytesPerRow() + x * 4;
    return {int(p[0]), int(p[1]), int(p[2]), int(p[3])};
}

// Whether every pixel of `image` is `pixel`.
inline bool everyPixelIs(const platform::ml::PixelBuffer& image, const std::array<int, 4>& pixel) {
    for (std::uint32_t y = 0; y < image.height(); ++y)
        for (std::uint32_t x = 0; x < image.width(); ++x)
            if (pixelAt(image, x, y) != pixel) return false;
    return true;
}

// The visible pixels of `image`, row padding left out.
inline std::vector<std::byte> pixelBytes(const platform::ml::PixelBuffer& image) {
    std::vector<std::byte> bytes(std::size_t(image.width()) * image.height() * 4);
    for (std::uint32_t y = 0; y < image.height(); ++y)
        std::memcpy(bytes.data() + std::size_t(y) * image.width() * 4, image.baseAddress() + y * image.bytesPerRow(),
                    std::size_t(image.width()) * 4);
    return bytes;
}

} // namespace mltest
