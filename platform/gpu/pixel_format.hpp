#pragma once
// Conversion between stored pixels and the float (r, g, b, a) values that shaders and blending
// work with. sRGB formats are decoded to linear on load and encoded on store; normalised formats
// are clamped to 0..1 and rounded to nearest on store (NaN stores as 0).

#include "platform/gpu/types.hpp"
#include "platform/simd/simd.hpp"

#include <cstddef>

namespace MivoKit {

namespace platform::gpu {

float srgbToLinear(float encoded);
float linearToSrgb(float linear);

// `count` pixels from `src` to floats (four per pixel) and back.
void loadPixels(PixelFormat format, const std::byte* src, float* rgba, std::size_t count);
void storePixels(PixelFormat format, const float* rgba, std::byte* dst, std::size_t count);

} // namespace platform::gpu

} // namespace MivoKit
