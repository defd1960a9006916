#pragma once
// The copies between the kit's arrays and images and the plain float tensors a network reads and
// writes. Both run as parallel loops on the calling thread and its helpers. Used by MLModel only.

#include "platform/ml/ml_multi_array.hpp"
#include "platform/ml/pixel_buffer.hpp"

#include <vector>

namespace MivoKit {

namespace platform::ml {

// True when the strides are those of a packed array, last dimension fastest.
bool isContiguous(const MLMultiArray& array);

// Writes every element of `array`, in packed order, as a 32-bit float to `destination`
// (array.count() floats): halves are widened, strides followed.
void copyAsFloat32(const MLMultiArray& array, float* destination);

// Writes three packed planes of red, green and blue (each width x height floats, 0 to 1) into
// `image`, which must be width x height: clamped, rounded, alpha 1.
void writeRGBPlanes(const float* planes, std::uint32_t width, std::uint32_t height, PixelBuffer& image);

} // namespace platform::ml

} // namespace MivoKit
