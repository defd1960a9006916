#include "kit/render/shaders/splat_shaders.hpp"

#include "kit/render/shaders/splat_projection.hpp"

#include <algorithm>
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
        p->red = f.red;
        p->green = f.green;
        p->blue = f.blue;
        p->opacity = f.opacity;
        // opacity * exp(-q / 2) >= 1/255  <=>  q <= 2 ln(255 opacity); a little slack keeps the
        // exact test below the only one that decides.
        p->maxDistance2 = 2.0f * std::log(255.0f * std::min(f.opacity, 1.0f)) * 1.001f + 1e-4f;
        const float ex = std::fabs(a1x) + std::fabs(a2x), ey = std::fabs(a1y) + std::fabs(a2y);
        return {centre.x - ex, centre.y - ey, centre.x + ex, centre.y + ey};
    }

    void shade(const DrawContext& context, const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1,
               int y1) const override {
        const auto& p = *reinterpret_cast<const SplatPrimitive*>(primitive);
        const Viewport& vp = context.viewport.viewport;
        const bool depthClipped = !(p.depth >= std::min(vp.znear, vp.zfar) && p.depth <= std::max(vp.znear, vp.zfar));
        if (depthClipped) return;
        for (int y = y0; y < y1; ++y) {
            const float dy = (y + 0.5f) - p.centreY;
            // u and v are affine in x: u = uBase + i00 * dx, v = vBase + i10 * dx. Keep the span of
            // x where both stay within three standard deviations.
            const float uBase = p.i01 * dy, vBase = p.i11 * dy;
            float lo = float(x0) + 0.5f - p.centreX, hi = float(x1) - 0.5f - p.centreX;
            auto narrow = [&](float base, float slope) {
                if (slope == 0.0f) {
                    if (std::fabs(base) > 3.0f) hi = lo - 1.0f;
                    return;
                }
                float a = (-3.0f - base) / slope, b = (3.0f - base) / slope;
                if (a > b) std::swap(a, b);
                lo = std::max(lo, a);
                hi = std::min(hi, b);
            };
            narrow(uBase, p.i00);
            narrow(vBase, p.i10);
            if (!(hi >= lo)) continue;
            const int xs = std::max(x0, int(std::floor(lo + p.centreX - 0.5f)));
            const int xe = std::min(x1, int(std::ceil(hi + p.centreX - 0.5f)) + 1);
            for (int x = xs; x < xe; ++x) {
                const float dx = (x + 0.5f) - p.centreX;
                const float u = uBase + p.i00 * dx, v = vBase + p.i10 * dx;
                if (!(std::fabs(u) <= 3.0f && std::fabs(v) <= 3.0f)) continue;
                if (u * u + v * v > p.maxDistance2) continue;
                const float alpha = splatAlpha(p.opacity, u, v);
                if (!(alpha >= kMinAlpha)) continue;
                if (tile.premultipliedOver) {
                    tile.blendOver(x, y, p.red * alpha, p.green * alpha, p.blue * alpha, alpha);
                } else {
                    FragmentOutput out{};
                    out.color[0] = {p.red * alpha, p.green * alpha, p.blue * alpha, alpha};
                    tile.writeFragment(x, y, p.depth, out);
                }
            }
        }
    }
};

} // namespace

std::shared_ptr<const FusedDraw> makeSplatFusedDraw() { return std::make_shared<SplatFusedDraw>(); }

} // namespace shaders
