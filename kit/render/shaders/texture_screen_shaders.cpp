#include "kit/render/shaders/texture_screen_shaders.hpp"

#include "platform/gpu/pipeline.hpp"
#include "platform/gpu/texture.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace MivoKit {

namespace shaders {

using namespace platform::gpu;

namespace {

using Pair = std::array<float, 2>;
using Corners = std::array<simd::float4, 4>;

// The image's height on the target over the target's height: (sy / sx) * (width / height).
float heightFraction(const Pair& scale, const Pair& target) {
    const float fraction = scale[1] / scale[0] * (target[0] / target[1]);
    return std::isfinite(fraction) && fraction > 0.0f ? fraction : 0.0f;
}

// The two texels a coordinate falls between along an axis of `size` texels, and the weight of
// the second.
struct Tap {
    std::uint32_t first = 0, second = 0;
    float weight = 0;
};

Tap tap(float coordinate, std::uint32_t size) {
    const float f = coordinate * float(size) - 0.5f;
    if (!std::isfinite(f)) return {};
    const float whole = std::floor(f);
    const float last = float(size - 1);
    return {std::uint32_t(std::clamp(whole, 0.0f, last)), std::uint32_t(std::clamp(whole + 1.0f, 0.0f, last)),
            f - whole};
}

using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));
using Short8 = std::uint16_t __attribute__((vector_size(16)));
using Byte16 = std::uint8_t __attribute__((vector_size(16)));

// An 8-bit BGRA pixel as (r, g, b, a) floats 0 to 255 (two interleaves with zero and one lane
// shuffle: no byte shuffles needed).
Float4 unpackBGRA8(const std::byte* pixel) {
    std::int32_t v;
    std::memcpy(&v, pixel, sizeof v);
    const Byte16 bytes = reinterpret_cast<Byte16>(Int4{v, 0, 0, 0});
    const Short8 shorts = reinterpret_cast<Short8>(
        __builtin_shufflevector(bytes, Byte16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
    const Int4 bgra = reinterpret_cast<Int4>(__builtin_shufflevector(shorts, Short8{}, 0, 8, 1, 9, 2, 10, 3, 11));
    return __builtin_convertvector(__builtin_shufflevector(bgra, bgra, 2, 1, 0, 3), Float4);
}

Float4 mix(Float4 a, Float4 b, float t) { return a + (b - a) * t; }

// Bilinear sample of an 8-bit BGRA image between rows `top` and `bottom`, as linear 0 to 1.
Float4 bilinearBGRA8(const std::byte* top, const std::byte* bottom, const Tap& tx, float rowWeight) {
    const Float4 upper = mix(unpackBGRA8(top + std::size_t(tx.first) * 4), unpackBGRA8(top + std::size_t(tx.second) * 4),
                             tx.weight);
    const Float4 lower = mix(unpackBGRA8(bottom + std::size_t(tx.first) * 4),
                             unpackBGRA8(bottom + std::size_t(tx.second) * 4), tx.weight);
    return mix(upper, lower, rowWeight) * (1.0f / 255.0f);
}

Float4 texel(const Texture& texture, std::uint32_t x, std::uint32_t y) {
    const simd::float4 v = texture.read(x, y);
    return Float4{v.x, v.y, v.z, v.w};
}

// Bilinear sample of `texture`; 8-bit BGRA, what the network writes, is read directly.
Float4 sampleBilinear(const Texture& texture, const Tap& tx, const Tap& ty) {
    if (texture.pixelFormat() == PixelFormat::bgra8Unorm)
        return bilinearBGRA8(texture.row(ty.first), texture.row(ty.second), tx, ty.weight);
    const Float4 upper = mix(texel(texture, tx.first, ty.first), texel(texture, tx.second, ty.first), tx.weight);
    const Float4 lower = mix(texel(texture, tx.first, ty.second), texel(texture, tx.second, ty.second), tx.weight);
    return mix(upper, lower, ty.weight);
}

} // namespace

void texture2ScreenVertexShader(const VertexInput& in, VertexOutput& out) {
    out.position = {0, 0, 0, 0}; // culled unless set below
    const auto* corners = in.bindings->buffer<Corners>(0);
    const auto* scale = in.bindings->buffer<Pair>(1);
    const auto* target = in.bindings->buffer<Pair>(2);
    if (!corners || !scale || !target) return;
    const float fraction = heightFraction(*scale, *target);
    if (fraction == 0.0f) return;
    const simd::float4 c = (*corners)[in.vertexId & 3];
    out.position = {c.x, c.y * fraction, c.z, c.w};
    out.varyings[0] = (c.x / c.w + 1.0f) * 0.5f;
    out.varyings[1] = (1.0f - c.y / c.w) * 0.5f;
}

bool texture2ScreenFragmentShader(const FragmentInput& in, FragmentOutput& out) {
    const Texture* image = in.bindings->textures[0];
    if (!image) return false;
    const Float4 c = sampleBilinear(*image, tap(in.varyings[0], image->width()), tap(in.varyings[1], image->height()));
    out.color[0] = {c[0], c[1], c[2], c[3]};
    return true;
}

namespace {

// The strip as a window rectangle: pixel centres with left <= x < right and top <= y < bottom
// are covered (the top-left rule), and the texture coordinates are affine in x and in y.
struct ScreenRectangle {
    double left, top, right, bottom;
    float uLeft, uRight, vTop, vBottom;
};

// Snapped to 1/256 pixel, as the rasteriser snaps triangle corners.
double snap(float v) { return std::nearbyint(double(v) * 256.0) / 256.0; }

class TextureScreenFusedDraw final : public FusedDraw {
public:
    std::size_t primitiveBytes() const override { return sizeof(ScreenRectangle); }

    WindowBounds setup(const DrawContext& context, std::uint32_t, std::byte* primitive) const override {
        if (context.vertexCount != 4) return {};
        std::array<VertexOutput, 4> corners;
        std::array<double, 4> x, y;
        for (std::uint32_t i = 0; i < 4; ++i) {
            corners[i] = {};
            texture2ScreenVertexShader({context.vertexBindings, context.vertexStart + i, 0, context.amplificationId},
                                       corners[i]);
            const simd::float4 p = corners[i].position;
            if (!(p.w > 0.0f) || !std::isfinite(p.w)) return {};
            const simd::float4 w = context.viewport.toWindow(p);
            x[i] = snap(w.x);
            y[i] = snap(w.y);
        }
        // Strip order: 0 and 2 share one side, 1 and 3 the other; 0 and 1 share the top or bottom.
        if (x[0] != x[2] || x[1] != x[3] || y[0] != y[1] || y[2] != y[3] || x[0] == x[1] || y[0] == y[2]) return {};
        const int l = x[0] < x[1] ? 0 : 1, t = y[0] < y[2] ? 0 : 2;
        auto* r = new (primitive) ScreenRectangle;
        r->left = x[l];
        r->right = x[1 - l];
        r->top = y[t];
        r->bottom = y[2 - t];
        r->uLeft = corners[l].varyings[0];
        r->uRight = corners[1 - l].varyings[0];
        r->vTop = corners[t].varyings[1];
        r->vBottom = corners[2 - t].varyings[1];
        return {float(r->left), float(r->top), float(r->right), float(r->bottom)};
    }

    void shade(const DrawContext& context, const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1,
               int y1) const override {
        const auto& r = *reinterpret_cast<const ScreenRectangle*>(primitive);
        const Texture* image = context.fragmentBindings->textures[0];
        if (!image) return;
        // Pixels whose centres c satisfy left <= c < right (and top <= c < bottom).
        const int xa = std::max(x0, int(std::ceil(r.left - 0.5))), xb = std::min(x1, int(std::ceil(r.right - 0.5)));
        const int ya = std::max(y0, int(std::ceil(r.top - 0.5))), yb = std::min(y1, int(std::ceil(r.bottom - 0.5)));
        if (xa >= xb || ya >= yb) return;
        const double width = r.right - r.left, height = r.bottom - r.top;
        std::array<Tap, kTileSize> columns;
        for (int x = xa; x < xb; ++x)
            columns[x - xa] = tap(float(r.uLeft + (x + 0.5 - r.left) / width * (r.uRight - r.uLeft)), image->width());
        const auto& attachment = tile.pipeline->descriptor().colorAttachments[0];
        const bool direct = tile.color[0] && !attachment.blendingEnabled && !(tile.depth && tile.depthState);
        const bool clamps = attachment.pixelFormat != PixelFormat::rgba16Float;
        auto rowTap = [&](int y) {
            return tap(float(r.vTop + (y + 0.5 - r.top) / height * (r.vBottom - r.vTop)), image->height());
        };
        const bool bgra8 = image->pixelFormat() == PixelFormat::bgra8Unorm;
        // The texels of a tile lie on short pieces of many image rows: fetch the next row's ahead.
        const std::size_t firstByte = std::size_t(columns[0].first) * 4;
        const std::size_t lastByte = std::size_t(columns[xb - xa - 1].second) * 4;
        Tap next = rowTap(ya);
        for (int y = ya; y < yb; ++y) {
            const Tap ty = next;
            if (y + 1 < yb) {
                next = rowTap(y + 1);
                const std::byte* ahead = image->row(next.second);
                if (bgra8)
                    for (std::size_t b = firstByte; b < lastByte + 4; b += 64) __builtin_prefetch(ahead + b);
            }
            const std::byte* top = image->row(ty.first);
            const std::byte* bottom = image->row(ty.second);
            float* d = tile.color[0] + ((y - tile.originY) * kTileSize + (xa - tile.originX)) * 4;
            for (int x = xa; x < xb; ++x, d += 4) {
                Float4 c = bgra8 ? bilinearBGRA8(top, bottom, columns[x - xa], ty.weight)
                                 : sampleBilinear(*image, columns[x - xa], ty);
                if (!direct) {
                    FragmentOutput out{};
                    out.color[0] = {c[0], c[1], c[2], c[3]};
                    tile.writeFragment(x, y, 0.0f, out);
                    continue;
                }
                if (clamps) {
                    c = c > 0.0f ? c : 0.0f;
                    c = c < 1.0f ? c : 1.0f;
                }
                std::memcpy(d, &c, sizeof c);
            }
        }
    }
};

} // namespace

std::shared_ptr<const FusedDraw> makeTextureScreenFusedDraw() { return std::make_shared<TextureScreenFusedDraw>(); }

} // namespace shaders

} // namespace MivoKit
