#pragma once
// The screen-space footprint of one splat (EWA splatting): the 3D covariance projected through
// the Jacobian of the perspective at the splat's centre, widened by a 0.3 px^2 low-pass filter,
// and cut at three standard deviations along its principal axes.

#include "kit/render/splat.hpp"
#include "platform/simd/simd.hpp"

namespace MivoKit {

namespace shaders {

// The largest opacity a splat reaches, and the smallest a fragment may have before it is dropped.
inline constexpr float kMaxAlpha = 0.99f;
inline constexpr float kMinAlpha = 1.0f / 255.0f;

struct SplatFootprint {
    bool visible = false;
    simd::float4 clipCentre;        // the centre in clip space
    float axis1x, axis1y;           // three standard deviations along the major axis, in pixels (y down)
    float axis2x, axis2y;           // the same along the minor axis
    float red, green, blue, opacity;
};

// The uniforms of amplified view `view` (views past the second use the second).
const Uniforms& viewUniforms(const UniformsArray& uniforms, std::uint32_t view);

SplatFootprint projectSplat(const Uniforms& uniforms, const Splat& splat);

} // namespace shaders

} // namespace MivoKit
