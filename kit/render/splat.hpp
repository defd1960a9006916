#pragma once
// The records the CPU writes and the shader library reads: the 52-byte GPU splat, the per-view
// uniforms in 512-byte ring slots, the description of one view, and how stored colours are read.
// Every layout is little-endian with IEEE binary16 halves, checked by the static_asserts below.

#include "kit/model/splat_scene_point.hpp"
#include "platform/gpu/types.hpp"
#include "platform/simd/simd.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace MivoKit {

// Whether stored colours are sRGB-encoded (and linearised on conversion) or used as they are.
enum class ColorFormat { SRGB, RGB };

struct PackedFloat3 {
    float x = 0, y = 0, z = 0;
};

struct PackedHalf3 {
    std::uint16_t x = 0, y = 0, z = 0;
};

struct PackedRGBHalf4 {
    std::uint16_t r = 0, g = 0, b = 0, a = 0;
};

struct PackedSRHalf8 {
    std::uint16_t f0 = 0, f1 = 0, f2 = 0, f3 = 0, f4 = 0, f5 = 0, f6 = 0, f7 = 0;

    PackedSRHalf8() = default;
    // The first eight values in order; a shorter list leaves the missing features at 0.
    explicit PackedSRHalf8(std::span<const float> features);
};

struct Splat {
    PackedFloat3 position;
    PackedRGBHalf4 color; // linear colour and opacity
    PackedHalf3 covA;     // covariance xx, xy, xz
    PackedHalf3 covB;     // covariance yy, yz, zz
    PackedSRHalf8 sr;     // super-resolution features
    std::uint16_t alpha = 0;

    Splat() = default;
    // The GPU record of a stored point.
    Splat(const SplatScenePoint& point, ColorFormat colorFormat);
    // From linear values: centre, colour with opacity, axis scales, unit rotation and the
    // super-resolution features (empty: the colour followed by zeros).
    Splat(simd::float3 position, simd::float4 color, simd::float3 scale, simd::quatf rotation,
          std::span<const float> srFeatures);
};

static_assert(sizeof(PackedHalf3) == 6 && alignof(PackedHalf3) == 2);
static_assert(sizeof(PackedRGBHalf4) == 8 && sizeof(PackedSRHalf8) == 16);
static_assert(sizeof(Splat) == 52 && alignof(Splat) == 4);
static_assert(offsetof(Splat, color) == 12 && offsetof(Splat, covA) == 20 && offsetof(Splat, covB) == 26 &&
              offsetof(Splat, sr) == 32 && offsetof(Splat, alpha) == 48);

struct UInt2 {
    std::uint32_t x = 0, y = 0;
};

struct alignas(16) Uniforms {
    simd::float4x4 projectionMatrix;
    simd::float4x4 viewMatrix;
    UInt2 screenSize; // width, height in pixels
};

struct UniformsArray {
    Uniforms uniforms0; // view 0
    Uniforms uniforms1; // view 1
};

static_assert(sizeof(Uniforms) == 144 && offsetof(Uniforms, viewMatrix) == 64 && offsetof(Uniforms, screenSize) == 128);
static_assert(offsetof(UniformsArray, uniforms1) == 144);

// Bytes of one slot of a renderer's uniform ring.
inline constexpr std::size_t kUniformSlotSize = 512;
static_assert(sizeof(UniformsArray) <= kUniformSlotSize);

struct ScreenSize {
    std::int64_t width = 0, height = 0;
    friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

// One view of a frame.
struct ViewportDescriptor {
    platform::gpu::Viewport viewport;
    simd::float4x4 projectionMatrix;
    simd::float4x4 viewMatrix;
    ScreenSize screenSize;
};

// The view the draw loop builds for a frame, with the same fields; it is copied into a
// ViewportDescriptor for the renderer.
struct ModelRendererViewportDescriptor {
    platform::gpu::Viewport viewport;
    simd::float4x4 projectionMatrix;
    simd::float4x4 viewMatrix;
    ScreenSize screenSize;
};

} // namespace MivoKit
