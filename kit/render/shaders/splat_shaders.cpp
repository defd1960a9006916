#include "kit/render/shaders/splat_shaders.hpp"

#include "kit/render/shaders/splat_shading.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace MivoKit {

namespace shaders {

using namespace platform::gpu;

namespace {

// Strip corners in units of the footprint's axes.
constexpr float kCorners[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

} // namespace

const Splat* splatAt(const BindingTable& bindings, std::uint32_t instance) {
    const auto& bytes = bindings.buffers[1];
    if (!bytes.data || (std::size_t(instance) + 1) * sizeof(Splat) > bytes.length) return nullptr;
    return reinterpret_cast<const Splat*>(bytes.data) + instance;
}

const Splat* splatCorner(const VertexInput& in, VertexOutput& out) {
    out.position = {0, 0, 0, 0}; // culled unless set below
    const auto* uniforms = in.bindings->buffer<UniformsArray>(0);
    const Splat* splat = splatAt(*in.bindings, in.instanceId);
    if (!uniforms || !splat) return nullptr;
    const Uniforms& u = viewUniforms(*uniforms, in.amplificationId);
    const SplatFootprint f = projectSplat(u, *splat);
    if (!f.visible) return nullptr;
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
    return splat;
}

WindowBounds setupSplatPrimitive(const DrawContext& context, std::uint32_t instance, SplatPrimitive& p,
                                 const Splat*& splat) {
    const auto* uniforms = context.vertexBindings->buffer<UniformsArray>(0);
    splat = splatAt(*context.vertexBindings, instance);
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
    p.centreX = centre.x;
    p.centreY = centre.y;
    p.depth = centre.z;
    p.i00 = 3.0f * a2y / det;
    p.i01 = -3.0f * a2x / det;
    p.i10 = -3.0f * a1y / det;
    p.i11 = 3.0f * a1x / det;
    if (!std::isfinite(p.i00) || !std::isfinite(p.i01) || !std::isfinite(p.i10) || !std::isfinite(p.i11)) return {};
    p.red = f.red;
    p.green = f.green;
    p.blue = f.blue;
    p.opacity = f.opacity;
    // opacity * exp(-q / 2) >= 1/255  <=>  q <= 2 ln(255 opacity); a little slack keeps the
    // exact test below the only one that decides.
    p.maxDistance2 = 2.0f * std::log(255.0f * std::min(f.opacity, 1.0f)) * 1.001f + 1e-4f;
    if (!(p.maxDistance2 > 0.0f)) return {};
    // The smaller of the quad's box and the box of the ellipse where fragments can be kept.
    const float reach = std::sqrt(p.maxDistance2) / 3.0f;
    const float ex = std::min(std::fabs(a1x) + std::fabs(a2x), reach * std::sqrt(a1x * a1x + a2x * a2x));
    const float ey = std::min(std::fabs(a1y) + std::fabs(a2y), reach * std::sqrt(a1y * a1y + a2y * a2y));
    WindowBounds bounds{centre.x - ex, centre.y - ey, centre.x + ex, centre.y + ey};
    // The same ellipse as a form in window pixels, for binning: u^2 + v^2 <= maxDistance2.
    const float scale = 1.0f / p.maxDistance2;
    const float qxx = (p.i00 * p.i00 + p.i10 * p.i10) * scale, qxy = (p.i00 * p.i01 + p.i10 * p.i11) * scale;
    const float qyy = (p.i01 * p.i01 + p.i11 * p.i11) * scale;
    if (std::isfinite(qxx) && std::isfinite(qxy) && std::isfinite(qyy)) {
        bounds.centreX = p.centreX;
        bounds.centreY = p.centreY;
        bounds.qxx = qxx;
        bounds.qxy = qxy;
        bounds.qyy = qyy;
    }
    return bounds;
}

SplatRowReach rowReachOf(const SplatPrimitive& p) {
    // u^2 + v^2 = a dx^2 + 2 b dx dy + c dy^2 <= m is, per row, a quadratic in dx whose
    // discriminant over 4 is a m - (a c - b^2) dy^2 with a c - b^2 = det^2. Doubles: a thin
    // ellipse has a nearly singular form.
    const double i00 = p.i00, i01 = p.i01, i10 = p.i10, i11 = p.i11;
    const double a = i00 * i00 + i10 * i10, b = i00 * i01 + i10 * i11, det = i00 * i11 - i01 * i10;
    return {float(-b / a), float(a * p.maxDistance2), float(det * det), float(1.0 / a)};
}

void splatVertexShader(const VertexInput& in, VertexOutput& out) { splatCorner(in, out); }

bool splatFragmentShader(const FragmentInput& in, FragmentOutput& out) {
    const float* v = in.varyings;
    const float alpha = splatAlpha(v[5], v[0], v[1]);
    if (!(alpha >= kMinAlpha)) return false;
    out.color[0] = {v[2] * alpha, v[3] * alpha, v[4] * alpha, alpha};
    return true;
}

namespace {

class SplatFusedDraw final : public FusedDraw {
public:
    std::size_t frontToBackAttachments() const override { return 1; }
    std::size_t primitiveBytes() const override { return sizeof(SplatGatherRecord); }

    WindowBounds setup(const DrawContext& context, std::uint32_t instance, std::byte* primitive) const override {
        auto& record = *new (primitive) SplatGatherRecord;
        const Splat* splat = nullptr;
        const WindowBounds bounds = setupSplatPrimitive(context, instance, record.splat, splat);
        // Depth clipping: every fragment of a splat has its centre's depth.
        if (bounds.empty() || !insideDepthRange(context, record.splat)) return {};
        record.rows = rowReachOf(record.splat);
        return bounds;
    }

    void setupInstances(const DrawContext& context, std::uint32_t first, std::uint32_t count, std::byte* primitives,
                        std::size_t stride, WindowBounds* bounds) const override {
        for (std::uint32_t i = 0; i < count; ++i) bounds[i] = SplatFusedDraw::setup(context, first + i, primitives + i * stride);
    }

    void shadeEntries(const DrawContext& context, const std::byte* primitives, std::size_t stride,
                      const TileEntry* entries, std::size_t count, TileTarget& tile) const override {
        if (!tile.transmittance) return FusedDraw::shadeEntries(context, primitives, stride, entries, count, tile);
        // Front to back: the whole tile in one call of the tile kernel.
        const GatherTile gatherTile{tile.originX, tile.originY, tile.transmittance, tile.openPixels, &tile.openRows,
                                    tile.opaqueTransmittance, nullptr, 0, nullptr, 0};
        activeSplatTileKernels().gatherEntries(primitives, stride, entries, count, gatherTile,
                                               {tile.accumulated[0], tile.clampColor});
    }

    void shade(const DrawContext&, const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1,
               int y1) const override {
        const auto& p = reinterpret_cast<const SplatGatherRecord*>(primitive)->splat;
        const bool inRange = withinUnitRange(p.red, p.green, p.blue);
        if (tile.transmittance) { // front to back: under what nearer splats left visible
            const GatheredColour colour{p.red, p.green, p.blue, tile.clampColor && !inRange};
            TileGatherer(tile, &colour, 1).gather(p, x0, y0, x1, y1);
            return;
        }
        // Premultiplied colour stays within 0..1 when the colour does: no clamping per pixel needed.
        const bool direct = tile.premultipliedOver && inRange;
        // Every row covers the same columns [x0, x1): the loops have one trip count per call, which
        // the branch predictor learns, and pixels outside the footprint get alpha 0 (a no-op).
        const int n = x1 - x0;
        float alpha[kTileSize + 4];
        const float dx0 = (x0 + 0.5f) - p.centreX;
        const Float4 color{p.red, p.green, p.blue, 1.0f};
        for (int y = y0; y < y1; ++y) {
            rowAlpha(p, dx0, (y + 0.5f) - p.centreY, n, alpha);
            if (direct) {
                float* d = tile.color[0] + ((y - tile.originY) * kTileSize + (x0 - tile.originX)) * 4;
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
                if (tile.premultipliedOver) tile.blendOver(x0 + i, y, out.color[0].x, out.color[0].y, out.color[0].z, alpha[i]);
                else tile.writeFragment(x0 + i, y, p.depth, out);
            }
        }
    }
};

} // namespace

std::shared_ptr<const FusedDraw> makeSplatFusedDraw() { return std::make_shared<SplatFusedDraw>(); }

} // namespace shaders

} // namespace MivoKit
