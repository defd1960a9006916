#include "kit/render/shaders/splat_shaders.hpp"

#include "kit/render/shaders/splat_projection.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cmath>

namespace shaders {

using namespace platform::gpu;

namespace {

// Strip corners in units of the footprint's axes.
constexpr float kCorners[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

const Splat* splatAt(const BindingTable& bindings, std::uint32_t instance) {
    const auto& bytes = bindings.buffers[1];
    if (!bytes.data || (std::size_t(instance) + 1) * sizeof(Splat) > bytes.length) return nullptr;
    return reinterpret_cast<const Splat*>(bytes.data) + instance;
}

float splatAlpha(float opacity, float u, float v) {
    return std::min(kMaxAlpha, opacity * std::exp(-0.5f * (u * u + v * v)));
}

// Four floats or ints in one SIMD register (GCC and Clang vector extensions).
using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));

// e^x for -87 <= x <= 0, four at a time, within about 2e-6 relative error: 2^(x log2 e) split
// into an integer power, set in the exponent bits, and a polynomial for the fraction.
inline Float4 fastExp(Float4 x) {
    const Float4 t = x * 1.44269504f;
    const Int4 whole = __builtin_convertvector(t, Int4); // rounds towards zero: t - whole in (-1, 0]
    const Float4 f = t - __builtin_convertvector(whole, Float4) + 1.0f; // in (0, 1]
    Float4 p = Float4{} + 1.8775767e-3f;
    p = p * f + 8.9893397e-3f;
    p = p * f + 5.5826318e-2f;
    p = p * f + 2.4015361e-1f;
    p = p * f + 6.9315308e-1f;
    p = p * f + 9.9999994e-1f; // 2^f
    return p * reinterpret_cast<Float4>((whole + 126) << 23);
}

// True when none of the n pixels lets through more than 1/1024 (what is behind them cannot
// change their stored 8-bit value).
inline bool rowIsOpaque(const float* transmittance, int n) {
    float most = 0.0f;
    for (int i = 0; i < n; ++i) most = transmittance[i] > most ? transmittance[i] : most;
    return most < 1.0f / 1024.0f;
}

inline Float4 absolute(Float4 v) { return reinterpret_cast<Float4>(reinterpret_cast<Int4>(v) & 0x7fffffff); }

} // namespace

void splatVertexShader(const VertexInput& in, VertexOutput& out) {
    out.position = {0, 0, 0, 0}; // culled unless set below
    const auto* uniforms = in.bindings->buffer<UniformsArray>(0);
    const Splat* splat = splatAt(*in.bindings, in.instanceId);
    if (!uniforms || !splat) return;
    const Uniforms& u = viewUniforms(*uniforms, in.amplificationId);
    const SplatFootprint f = projectSplat(u, *splat);
    if (!f.visible) return;
    const float cu = kCorners[in.vertexId & 3][0], cv = kCorners[in.vertexId & 3][1];
    const float dx = cu * f.axis1x + cv * f.axis2x, dy = cu * f.axis1y + cv * f.axis2y; // pixels, y down
    const float w = f.clipCentre.w;
    out.position = {f.clipCentre.x + 2.0f * dx / float(u.screenSize.x) * w,
                    f.clipCentre.y - 2.0f * dy / float(u.screenSize.y) * w, f.clipCentre.z, w};
    out.varyings[0] = 3.0f * cu; // position in standard deviations along the axes
    out.varyings[1] = 3.0f * cv;
    out.varyings[2] = f.red;
    out.varyings[3] = f.green;
    out.varyings[4] = f.blue;
    out.varyings[5] = f.opacity;
}

bool splatFragmentShader(const FragmentInput& in, FragmentOutput& out) {
    const float* v = in.varyings;
    const float alpha = splatAlpha(v[5], v[0], v[1]);
    if (!(alpha >= kMinAlpha)) return false;
    out.color[0] = {v[2] * alpha, v[3] * alpha, v[4] * alpha, alpha};
    return true;
}

namespace {

// One splat set up in window coordinates. (u, v) = inverse * (p - centre) gives the position in
// standard deviations along the axes.
struct SplatPrimitive {
    float centreX, centreY, depth;
    float i00, i01, i10, i11; // inverse of the axis matrix, scaled by 3
    float red, green, blue, opacity;
    float maxDistance2; // beyond this u^2 + v^2 no fragment reaches the smallest kept alpha
};

class SplatFusedDraw final : public FusedDraw {
public:
    bool composesFrontToBack() const override { return true; }
    std::size_t primitiveBytes() const override { return sizeof(SplatPrimitive); }

    WindowBounds setup(const DrawContext& context, std::uint32_t instance, std::byte* primitive) const override {
        const auto* uniforms = context.vertexBindings->buffer<UniformsArray>(0);
        const Splat* splat = splatAt(*context.vertexBindings, instance);
        if (!uniforms || !splat) return {};
        const Uniforms& u = viewUniforms(*uniforms, context.amplificationId);
        const SplatFootprint f = projectSplat(u, *splat);
        if (!f.visible) return {};
        const simd::float4 centre = context.viewport.toWindow(f.clipCentre);
        // The footprint's axes in window pixels (the viewport may scale the screen size).
        const Viewport& vp = context.viewport.viewport;
        const float sx = float(vp.width) / float(u.screenSize.x), sy = float(vp.height) / float(u.screenSize.y);
        const float a1x = f.axis1x * sx, a1y = f.axis1y * sy, a2x = f.axis2x * sx, a2y = f.axis2y * sy;
        const float det = a1x * a2y - a2x * a1y;
        if (!(std::fabs(det) > 0.0f) || !std::isfinite(det)) return {};
        auto* p = new (primitive) SplatPrimitive;
        p->centreX = centre.x;
        p->centreY = centre.y;
        p->depth = centre.z;
        p->i00 = 3.0f * a2y / det;
        p->i01 = -3.0f * a2x / det;
        p->i10 = -3.0f * a1y / det;
        p->i11 = 3.0f * a1x / det;
        if (!std::isfinite(p->i00) || !std::isfinite(p->i01) || !std::isfinite(p->i10) || !std::isfinite(p->i11))
            return {};
        p->red = f.red;
        p->green = f.green;
        p->blue = f.blue;
        p->opacity = f.opacity;
        // opacity * exp(-q / 2) >= 1/255  <=>  q <= 2 ln(255 opacity); a little slack keeps the
        // exact test below the only one that decides.
        p->maxDistance2 = 2.0f * std::log(255.0f * std::min(f.opacity, 1.0f)) * 1.001f + 1e-4f;
        if (!(p->maxDistance2 > 0.0f)) return {};
        // The smaller of the quad's box and the box of the ellipse where fragments can be kept.
        const float reach = std::sqrt(p->maxDistance2) / 3.0f;
        const float ex = std::min(std::fabs(a1x) + std::fabs(a2x), reach * std::sqrt(a1x * a1x + a2x * a2x));
        const float ey = std::min(std::fabs(a1y) + std::fabs(a2y), reach * std::sqrt(a1y * a1y + a2y * a2y));
        return {centre.x - ex, centre.y - ey, centre.x + ex, centre.y + ey};
    }

    void shade(const DrawContext& context, const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1,
               int y1) const override {
        const auto& p = *reinterpret_cast<const SplatPrimitive*>(primitive);
        const Viewport& vp = context.viewport.viewport;
        if (!(p.depth >= std::min(vp.znear, vp.zfar) && p.depth <= std::max(vp.znear, vp.zfar))) return; // depth clip
        // Premultiplied colour stays within 0..1 when the colour does: no clamping per pixel needed.
        const bool direct = tile.premultipliedOver && p.red >= 0 && p.red <= 1 && p.green >= 0 && p.green <= 1 &&
                            p.blue >= 0 && p.blue <= 1;
        // Every row covers the same columns [x0, x1): the loops have one trip count per call, which
        // the branch predictor learns, and pixels outside the footprint get alpha 0 (a no-op).
        const int n = x1 - x0;
        const int xs = x0;
        float alpha[kTileSize + 4];
        const float dx0 = (x0 + 0.5f) - p.centreX;
        for (int y = y0; y < y1; ++y) {
            if (tile.transmittance && rowIsOpaque(tile.transmittance + (y - tile.originY) * kTileSize + (x0 - tile.originX), n))
                continue; // nearer splats already hide this row
            const float dy = (y + 0.5f) - p.centreY;
            // u and v are affine in x: u = uBase + i00 * dx, v = vBase + i10 * dx.
            const float uBase = p.i01 * dy, vBase = p.i11 * dy;
            for (int i = 0; i < n; i += 4) { // four pixels at a time; alpha has room past the row
                const Float4 dx = Float4{0, 1, 2, 3} + (dx0 + float(i));
                const Float4 u = uBase + p.i00 * dx, v = vBase + p.i10 * dx;
                Float4 distance2 = u * u + v * v;
                distance2 = distance2 < 150.0f ? distance2 : 150.0f; // keeps the exponent above -87
                const Float4 g = p.opacity * fastExp(-0.5f * distance2);
                const Float4 value = g < kMaxAlpha ? g : kMaxAlpha;
                const Int4 inside = (absolute(u) <= 3.0f) & (absolute(v) <= 3.0f) & (value >= kMinAlpha);
                const Float4 kept = reinterpret_cast<Float4>(reinterpret_cast<Int4>(value) & inside);
                std::memcpy(alpha + i, &kept, sizeof kept);
            }
            if (tile.transmittance) { // front to back: under what nearer splats left visible
                const int first = (y - tile.originY) * kTileSize + (xs - tile.originX);
                float* gathered = tile.accumulated + first * 4;
                float* through = tile.transmittance + first;
                const Float4 color{p.red, p.green, p.blue, 1.0f};
                for (int i = 0; i < n; ++i, gathered += 4) {
                    const float weight = through[i] * alpha[i];
                    Float4 source = color * alpha[i];
                    source = source < 1.0f ? source : 1.0f; // as a normalised attachment clamps it
                    Float4 sum;
                    std::memcpy(&sum, gathered, sizeof sum);
                    sum += source * through[i];
                    std::memcpy(gathered, &sum, sizeof sum);
                    through[i] -= weight;
                }
                continue;
            }
            if (direct) {
                float* d = tile.color[0] + ((y - tile.originY) * kTileSize + (xs - tile.originX)) * 4;
                const Float4 color{p.red, p.green, p.blue, 1.0f};
                for (int i = 0; i < n; ++i, d += 4) { // one pixel (r, g, b, a) per register
                    Float4 pixel;
                    std::memcpy(&pixel, d, sizeof pixel);
                    pixel = color * alpha[i] + pixel * (1.0f - alpha[i]);
                    std::memcpy(d, &pixel, sizeof pixel);
                }
                continue;
            }
            for (int i = 0; i < n; ++i) {
                if (alpha[i] == 0.0f) continue;
                FragmentOutput out{};
                out.color[0] = {p.red * alpha[i], p.green * alpha[i], p.blue * alpha[i], alpha[i]};
                if (tile.premultipliedOver) tile.blendOver(xs + i, y, out.color[0].x, out.color[0].y, out.color[0].z, alpha[i]);
                else tile.writeFragment(xs + i, y, p.depth, out);
            }
        }
    }
};

} // namespace

std::shared_ptr<const FusedDraw> makeSplatFusedDraw() { return std::make_shared<SplatFusedDraw>(); }

} // namespace shaders
