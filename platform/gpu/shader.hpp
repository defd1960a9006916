#pragma once
// The shader model of the software GPU. Shader functions are plain C++ functions called through
// pointers: a vertex function per vertex, a fragment function per covered pixel, a kernel per
// compute thread. They see the resources the encoder bound through a BindingTable.
//
// A vertex and fragment pair may also come with a FusedDraw: the same drawing, written for that
// pair as one set-up per instance and one shading loop per tile, which the device runs instead of
// the generic per-vertex and per-fragment calls.

#include "platform/gpu/types.hpp"
#include "platform/simd/simd.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace MivoKit {

namespace platform::gpu {

class Texture;
class RenderPipelineState;
class DepthStencilState;

inline constexpr std::size_t kMaxBufferBindings = 8;
inline constexpr std::size_t kMaxTextureBindings = 8;
inline constexpr std::size_t kMaxColorAttachments = 4;
inline constexpr std::size_t kMaxVaryings = 16;
inline constexpr int kTileSize = 16;
// Composing front to back, a pixel stops gathering once it lets through less than this, as the
// reference rasteriser of 3D Gaussian splatting does (what that leaves out: TileTarget).
inline constexpr float kOpaqueTransmittance = 1e-4f;

// What one shader stage sees of the bound resources.
struct BindingTable {
    struct Bytes {
        const std::byte* data = nullptr;
        std::size_t length = 0; // bytes readable from data on
    };
    std::array<Bytes, kMaxBufferBindings> buffers{};
    std::array<Texture*, kMaxTextureBindings> textures{};

    // The bound bytes at `index` viewed as T, or null when fewer than sizeof(T) bytes are bound.
    template <class T>
    const T* buffer(std::size_t index) const {
        const Bytes& b = buffers[index];
        return b.data && b.length >= sizeof(T) ? reinterpret_cast<const T*>(b.data) : nullptr;
    }
};

struct VertexInput {
    const BindingTable* bindings;
    std::uint32_t vertexId;
    std::uint32_t instanceId;
    std::uint32_t amplificationId; // the amplified view, 0 without amplification
};

struct VertexOutput {
    simd::float4 position;                    // clip space
    std::array<float, kMaxVaryings> varyings; // interpolated for the fragment function
};

struct FragmentInput {
    const BindingTable* bindings;
    simd::float4 position; // window x, y (pixel centre), depth, 1/w
    const float* varyings;
    std::uint32_t amplificationId;
};

struct FragmentOutput {
    std::array<simd::float4, kMaxColorAttachments> color;
};

struct KernelInput {
    const BindingTable* bindings;
    UInt3 threadPositionInGrid;
    UInt3 threadPositionInThreadgroup;
    UInt3 threadgroupPositionInGrid;
};

using VertexFunction = void (*)(const VertexInput&, VertexOutput&);
// Returns false to discard the fragment.
using FragmentFunction = bool (*)(const FragmentInput&, FragmentOutput&);
using KernelFunction = void (*)(const KernelInput&);

// Float pixel bounds in window coordinates; empty when culled. A primitive may also name an
// ellipse it stays inside: the points centre + d with qxx dx^2 + 2 qxy dx dy + qyy dy^2 <= 1
// (none while qxx is 0). The device then gives it only the tiles that ellipse reaches.
struct WindowBounds {
    float minX = 0, minY = 0, maxX = -1, maxY = -1;
    float centreX = 0, centreY = 0, qxx = 0, qxy = 0, qyy = 0;
    bool empty() const { return !(maxX >= minX && maxY >= minY); }
    bool hasEllipse() const { return qxx > 0.0f; }
};

// A primitive binned to a tile: its slot, and the part of its pixel rectangle inside the tile (tile
// pixels [x0, x1) x [y0, y1)).
struct TileEntry {
    std::uint32_t slot;
    std::uint8_t x0, y0, x1, y1;
};

// Maps clip coordinates to window coordinates for one view of a draw.
struct ViewportTransform {
    Viewport viewport;
    // Window x, y, depth and 1/w of a clip-space position (w must be positive and finite).
    simd::float4 toWindow(simd::float4 clip) const {
        const float invW = 1.0f / clip.w;
        const float ndcX = clip.x * invW, ndcY = clip.y * invW, ndcZ = clip.z * invW;
        return {static_cast<float>(viewport.originX + (ndcX + 1.0) * 0.5 * viewport.width),
                static_cast<float>(viewport.originY + (1.0 - ndcY) * 0.5 * viewport.height),
                static_cast<float>(viewport.znear + ndcZ * (viewport.zfar - viewport.znear)), invW};
    }
};

// Tile memory of one render pass: the pixels of one 16x16 tile as floats, for every attachment.
// Colour is (r, g, b, a) per pixel, linear; rows are kTileSize pixels long.
struct TileTarget {
    int originX = 0, originY = 0; // window position of the tile's first pixel
    std::uint32_t slice = 0;
    std::array<float*, kMaxColorAttachments> color{};
    std::size_t colorCount = 0;
    float* depth = nullptr;
    const RenderPipelineState* pipeline = nullptr;
    const DepthStencilState* depthState = nullptr;
    // True when a fragment's only effect is attachment 0 = source + destination * (1 - source
    // alpha): one colour attachment blending one / one-minus-source-alpha with add, and no depth
    // test or write. Fused draws may then call blendOver instead of writeFragment.
    bool premultipliedOver = false;
    bool clampColor = false; // attachment 0 is a normalised format
    // Set while a fused draw that composes front to back runs (see FusedDraw): the red, green and
    // blue gathered so far in each colour attachment, as three planes of kTileSize * kTileSize
    // floats (red first, pixels in the order of `color`), and per pixel the transmittance left for
    // what lies behind it. The alpha gathered is 1 - transmittance. Once a pixel lets through less
    // than opaqueTransmittance, what lies behind it is left out. That moves each stored channel by
    // less than opaqueTransmittance times the largest difference between a colour behind and what
    // the attachment held before the draw: with kOpaqueTransmittance and values within 0..1, under
    // 1e-4, a 39th of an 8-bit step, so an 8-bit value changes only where the exact one lies that
    // close to a rounding edge.
    // openPixels holds per row of the tile the pixels that still let through opaqueTransmittance
    // or more (bit x for pixel x; pixels outside the target are never open), openRows the rows
    // with such a pixel. A fused draw gathers only into open pixels and closes those it darkens
    // below the limit, so a pixel's value does not depend on how many pixels a step handles; the
    // device stops the tile once no row is open.
    std::array<float*, kMaxColorAttachments> accumulated{};
    float* transmittance = nullptr;
    float opaqueTransmittance = 0.0f;
    std::uint16_t* openPixels = nullptr;
    std::uint32_t openRows = 0;

    // Depth test, blending and writing of one fragment at window pixel (x, y) inside the tile.
    void writeFragment(int x, int y, float depth, const FragmentOutput& out);

    void blendOver(int x, int y, float r, float g, float b, float a) {
        float* d = color[0] + ((y - originY) * kTileSize + (x - originX)) * 4;
        if (clampColor) {
            r = clamp01(r), g = clamp01(g), b = clamp01(b), a = clamp01(a);
        }
        const float k = 1.0f - a;
        d[0] = r + d[0] * k;
        d[1] = g + d[1] * k;
        d[2] = b + d[2] * k;
        d[3] = a + d[3] * k;
        if (clampColor) {
            d[0] = clamp01(d[0]), d[1] = clamp01(d[1]), d[2] = clamp01(d[2]), d[3] = clamp01(d[3]);
        }
    }

private:
    static float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }
};

// What a fused draw sees of one view of a draw call.
struct DrawContext {
    const BindingTable* vertexBindings;
    const BindingTable* fragmentBindings;
    std::uint32_t amplificationId;
    ViewportTransform viewport;
    std::uint32_t vertexStart;
    std::uint32_t vertexCount;
};

class FusedDraw {
public:
    virtual ~FusedDraw() = default;
    // How many colour attachments shade() can also compose front to back (0: none). Composing front
    // to back: given the primitives nearest first, it adds each fragment under what is there in
    // attachments 0 ..< n (accumulated[i] += transmittance * premultiplied red, green and blue of
    // attachment i; transmittance *= 1 - alpha) when the tile's accumulated and transmittance are
    // set, which requires the fragment to carry its alpha in the alpha channel of all of them. The
    // device uses it for passes of at most n colour attachments that all blend premultiplied over,
    // which gives the same image up to what each pixel leaves out once it lets through less than
    // kOpaqueTransmittance (TileTarget::transmittance says how much that can be); the tile stops
    // once every pixel has (TileTarget::openPixels).
    virtual std::size_t frontToBackAttachments() const { return 0; }
    // Bytes of set-up data per instance.
    virtual std::size_t primitiveBytes() const = 0;
    // Sets up `instance` into `primitive`; returns the window area it may cover, empty to cull.
    virtual WindowBounds setup(const DrawContext& context, std::uint32_t instance, std::byte* primitive) const = 0;
    // Shades the pixels [x0, x1) x [y0, y1) (inside one tile) for one set-up primitive.
    virtual void shade(const DrawContext& context, const std::byte* primitive, TileTarget& tile, int x0, int y0,
                       int x1, int y1) const = 0;

    // The device calls these two, once per run of instances and once per tile, so that a draw can
    // keep its per-instance loop in one place; the defaults call setup() and shade() for each.
    // Sets up instances [first, first + count): instance first + i into primitives + i * stride and
    // its window area into bounds[i].
    virtual void setupInstances(const DrawContext& context, std::uint32_t first, std::uint32_t count,
                                std::byte* primitives, std::size_t stride, WindowBounds* bounds) const;
    // Shades one tile's entries, given in draw order, whose primitives lie at primitives + slot *
    // stride. Composing front to back (tile.transmittance set), nearest first, only while the
    // entry's rows hold an open pixel, and no further once no row is open.
    virtual void shadeEntries(const DrawContext& context, const std::byte* primitives, std::size_t stride,
                              const TileEntry* entries, std::size_t count, TileTarget& tile) const;
};

} // namespace platform::gpu

} // namespace MivoKit
