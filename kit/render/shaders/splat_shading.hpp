#pragma once
// What the direct and the super-resolution splat shaders share: the corner of a splat's quad for
// the generic vertex path, the set-up of splats in window coordinates for the fused draws (one, or
// four in vector registers with the same results), the Gaussian's alpha four pixels at a time, and
// the front-to-back gathering of a splat's colours into any number of attachments. Internal to
// the shaders; every user is compiled for baseline x86-64 (see kit/render/CMakeLists.txt). The
// functions run on the rasteriser's threads and keep no state.

#include "kit/render/shaders/splat_projection.hpp"
#include "kit/render/shaders/splat_tile_kernels.hpp"
#include "platform/gpu/shader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace MivoKit {

namespace shaders {

// Varyings written by splatCorner: (u, v) in standard deviations along the axes, then the colour
// and opacity.
inline constexpr std::size_t kSplatCornerVaryings = 6;

// The Splat record of `instance` in vertex buffer 1, or null when the buffer is too short.
const Splat* splatAt(const platform::gpu::BindingTable& bindings, std::uint32_t instance);

// Fills `out` with corner in.vertexId of the splat's quad and the varyings above; returns the
// splat, or null (and a culled position) when there is nothing to draw.
const Splat* splatCorner(const platform::gpu::VertexInput& in, platform::gpu::VertexOutput& out);

// The fragment alpha at (u, v): min(0.99, opacity * gaussian).
inline float splatAlpha(float opacity, float u, float v) {
    return std::min(kMaxAlpha, opacity * std::exp(-0.5f * (u * u + v * v)));
}

// Sets up splat `instance` of the draw into `p`; returns the window area it may cover (empty to
// cull: also outside the viewport's depth range) and the record in `splat`.
platform::gpu::WindowBounds setupSplatPrimitive(const platform::gpu::DrawContext& context, std::uint32_t instance,
                                                SplatPrimitive& p, const Splat*& splat);
// The same for the four instances first ... first + 3, which the draw's buffer must hold, into
// p[0 ..< 4] and bounds[0 ..< 4]: four at a time in vector registers, with the same results.
void setupSplatPrimitives(const platform::gpu::DrawContext& context, std::uint32_t first, SplatPrimitive* const p[4],
                          platform::gpu::WindowBounds bounds[4]);

// False when the primitive lies outside the viewport's depth range (depth clipping).
inline bool insideDepthRange(const platform::gpu::DrawContext& context, const SplatPrimitive& p) {
    const platform::gpu::Viewport& vp = context.viewport.viewport;
    return p.depth >= std::min(vp.znear, vp.zfar) && p.depth <= std::max(vp.znear, vp.zfar);
}

// e^(-q/2) for 0 <= q <= 250, four at a time, within 3e-7 relative error: 2^(-q log2(e) / 2) split
// into the nearest integer n, set as exponent bits, and a polynomial for 2^f, |f| <= 1/2. Adding
// 1.5 * 2^23 (+ 127, the exponent bias) rounds to an integer in the low mantissa bits, which
// shifted left by 23 are the exponent of 2^n. (splat_tile_avx2.cpp has its own copy.)
inline Float4 gaussian(Float4 q) {
    const Float4 t = q * (-0.5f * 1.44269504f);
    const Float4 k = t + (12582912.0f + 127.0f);
    const Float4 f = t + ((12582912.0f + 127.0f) - k); // exact: t less its nearest integer
    Float4 p = Float4{} + 1.3390863e-3f;
    p = p * f + 9.6760319e-3f;
    p = p * f + 5.5503571e-2f;
    p = p * f + 2.4022107e-1f;
    p = p * f + 6.9314719e-1f;
    p = p * f + 1.0000001f;
    return p * reinterpret_cast<Float4>(reinterpret_cast<Int4>(k) << 23);
}

inline Float4 absolute(Float4 v) { return reinterpret_cast<Float4>(reinterpret_cast<Int4>(v) & 0x7fffffff); }

// The fragment alpha at four positions (u, v), or 0 outside the footprint, under the smallest kept
// alpha, and where `keep` is false.
inline Float4 alphaAt(const SplatPrimitive& p, Float4 u, Float4 v, Int4 keep) {
    const Float4 g = p.opacity * gaussian(u * u + v * v); // meaningless past q = 250, outside the square
    const Float4 value = g < kMaxAlpha ? g : kMaxAlpha;
    const Int4 inside = (absolute(u) <= 3.0f) & (absolute(v) <= 3.0f) & (value >= kMinAlpha) & keep;
    return reinterpret_cast<Float4>(reinterpret_cast<Int4>(value) & inside);
}

// alpha[i] for the pixels (x0 + i, y), i < n, rounded up to a multiple of four (alpha has room for
// it): the fragment alpha, or 0 outside the footprint and under the smallest kept alpha.
// dx0 and dy are the offsets of pixel (x0, y)'s centre from the splat's centre.
inline void rowAlpha(const SplatPrimitive& p, float dx0, float dy, int n, float* alpha) {
    // u and v are affine in x: u = uBase + i00 * dx, v = vBase + i10 * dx.
    const float uBase = p.i01 * dy, vBase = p.i11 * dy;
    for (int i = 0; i < n; i += 4) {
        const Float4 dx = Float4{0, 1, 2, 3} + (dx0 + float(i));
        const Float4 kept = alphaAt(p, uBase + p.i00 * dx, vBase + p.i10 * dx, Int4{} - 1);
        std::memcpy(alpha + i, &kept, sizeof kept);
    }
}

// The colour one attachment receives from a splat, unpremultiplied; `clamps` when the attachment
// is normalised and some premultiplied value could leave 0..1 (blending clamps it there).
struct GatheredColour {
    float red, green, blue;
    bool clamps;
};

inline Float4 clampUnit(Float4 v) {
    v = v > 0.0f ? v : 0.0f;
    return v < 1.0f ? v : 1.0f;
}

inline bool withinUnitRange(float r, float g, float b) {
    return r >= 0.0f && r <= 1.0f && g >= 0.0f && g <= 1.0f && b >= 0.0f && b <= 1.0f;
}

// Front to back (TileTarget::accumulated): gathers one splat's fragments under what a tile holds,
// for attachments 0 ..< count receiving colours[0 ..< count], through the process's tile kernel
// (splat_tile_kernels.hpp). Channels that are 0 gather nothing.
class TileGatherer {
public:
    TileGatherer(platform::gpu::TileTarget& tile, const GatheredColour* colours, std::size_t count)
        : kernels_(activeSplatTileKernels()) {
        for (std::size_t k = 0; k < count; ++k) {
            const float values[3] = {colours[k].red, colours[k].green, colours[k].blue};
            for (int c = 0; c < 3; ++c) {
                if (values[c] == 0.0f) continue;
                GatherChannel& channel = colours[k].clamps ? clamped_[clampedCount_++] : plain_[plainCount_++];
                channel = {tile.accumulated[k] + c * kPlane, values[c]};
            }
        }
        tile_ = {tile.originX, tile.originY, tile.transmittance, tile.openPixels, &tile.openRows,
                 tile.opaqueTransmittance, plain_, plainCount_, clamped_, clampedCount_};
    }

    // The pixels [x0, x1) x [y0, y1) of the tile.
    void gather(const SplatPrimitive& p, int x0, int y0, int x1, int y1) const {
        kernels_.gather(p, tile_, x0, y0, x1, y1);
    }

private:
    static constexpr int kPlane = platform::gpu::kTileSize * platform::gpu::kTileSize;
    const SplatTileKernels& kernels_;
    GatherTile tile_;
    GatherChannel plain_[3 * platform::gpu::kMaxColorAttachments];
    GatherChannel clamped_[3 * platform::gpu::kMaxColorAttachments];
    int plainCount_ = 0, clampedCount_ = 0;
};

} // namespace shaders

} // namespace MivoKit
