#pragma once
// Value types shared by every part of the GPU layer: pixel formats, viewports, clear values,
// load and store actions, blending, depth comparison and sizes.

#include <cstddef>
#include <cstdint>

namespace MivoKit {

namespace platform::gpu {

enum class PixelFormat {
    invalid,
    bgra8Unorm,      // 8-bit normalised blue, green, red, alpha
    bgra8Unorm_srgb, // the same, colour channels sRGB-encoded in memory
    rgba16Float,     // four half floats
    depth32Float,
    stencil8,
};

std::size_t bytesPerPixel(PixelFormat format);
bool isColorFormat(PixelFormat format);
bool isDepthFormat(PixelFormat format);
bool isStencilFormat(PixelFormat format);

// Whole pixels, as used for texture and grid sizes.
struct Size3 {
    std::uint32_t width = 0, height = 0, depth = 0;
    friend bool operator==(const Size3&, const Size3&) = default;
};

struct UInt3 {
    std::uint32_t x = 0, y = 0, z = 0;
};

struct Region {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;
};

struct ClearColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    friend bool operator==(const ClearColor&, const ClearColor&) = default;
};

// Maps normalised device coordinates to window pixels: x right, y down, depth znear to zfar.
struct Viewport {
    double originX = 0, originY = 0, width = 0, height = 0, znear = 0, zfar = 1;
    friend bool operator==(const Viewport&, const Viewport&) = default;
};

// Where amplified view i goes: which viewport and which render-target array slice.
struct VertexAmplificationViewMapping {
    std::uint32_t viewportArrayIndexOffset = 0;
    std::uint32_t renderTargetArrayIndexOffset = 0;
    friend bool operator==(const VertexAmplificationViewMapping&, const VertexAmplificationViewMapping&) = default;
};

enum class LoadAction { dontCare, load, clear };
enum class StoreAction { dontCare, store, multisampleResolve };

enum class PrimitiveType { triangle, triangleStrip };

enum class BlendOperation { add, subtract, reverseSubtract, min, max };

enum class BlendFactor {
    zero,
    one,
    sourceColor,
    oneMinusSourceColor,
    sourceAlpha,
    oneMinusSourceAlpha,
    destinationColor,
    oneMinusDestinationColor,
    destinationAlpha,
    oneMinusDestinationAlpha,
    sourceAlphaSaturated,
    // Dual-source factors read a second fragment output, which this GPU does not have:
    // pipelines using them are refused.
    source1Color,
    oneMinusSource1Color,
    source1Alpha,
    oneMinusSource1Alpha,
};

enum class CompareFunction { never, less, equal, lessEqual, greater, notEqual, greaterEqual, always };

namespace TextureUsage {
inline constexpr unsigned shaderRead = 1;
inline constexpr unsigned shaderWrite = 2;
inline constexpr unsigned renderTarget = 4;
} // namespace TextureUsage

} // namespace platform::gpu

} // namespace MivoKit
