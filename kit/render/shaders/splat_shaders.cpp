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

namespace {

using lanes::Mask;

inline float logOf(float v) { return std::log(v); }
inline Float4 logOf(Float4 v) { return Float4{std::log(v[0]), std::log(v[1]), std::log(v[2]), std::log(v[3])}; }
inline float magnitude(float v) { return std::fabs(v); }
inline Float4 magnitude(Float4 v) { return reinterpret_cast<Float4>(reinterpret_cast<Int4>(v) & 0x7fffffff); }
template <class V>
V smaller(V a, V b) {
    return b < a ? b : a; // std::min, lane by lane
}

// A footprint set up in window coordinates, per lane; the other fields have no meaning where
// `kept` is false.
template <class V>
struct PrimitiveLanes {
    Mask<V> kept, hasForm;
    V centreX, centreY, depth, i00, i01, i10, i11, maxDistance2;
    V minX, minY, maxX, maxY, qxx, qxy, qyy;
};

template <class V>
PrimitiveLanes<V> setUp(const DrawContext& context, const Uniforms& u, const lanes::Footprint<V>& f) {
    PrimitiveLanes<V> p;
    // The centre in window coordinates.
    const Viewport& vp = context.viewport.viewport;
    const V inverseW = 1.0f / f.clipW;
    p.centreX = float(vp.originX) + (f.clipX * inverseW + 1.0f) * (0.5f * float(vp.width));
    p.centreY = float(vp.originY) + (1.0f - f.clipY * inverseW) * (0.5f * float(vp.height));
    p.depth = float(vp.znear) + f.clipZ * inverseW * float(vp.zfar - vp.znear);
    // Depth clipping: every fragment of a splat has its centre's depth.
    const float nearest = float(std::min(vp.znear, vp.zfar)), farthest = float(std::max(vp.znear, vp.zfar));
    Mask<V> kept = f.visible & lanes::mask(p.depth >= nearest) & lanes::mask(p.depth <= farthest);
    // The footprint's axes in window pixels (the viewport may scale the screen size).
    const float sx = float(vp.width) / float(u.screenSize.x), sy = float(vp.height) / float(u.screenSize.y);
    const V a1x = f.axis1x * sx, a1y = f.axis1y * sy, a2x = f.axis2x * sx, a2y = f.axis2y * sy;
    const V det = a1x * a2y - a2x * a1y;
    p.i00 = 3.0f * a2y / det;
    p.i01 = -3.0f * a2x / det;
    p.i10 = -3.0f * a1y / det;
    p.i11 = 3.0f * a1x / det;
    kept &= lanes::mask(magnitude(det) > 0.0f) & lanes::finite(det) & lanes::finite(p.i00) & lanes::finite(p.i01) &
            lanes::finite(p.i10) & lanes::finite(p.i11);
    // opacity * exp(-q / 2) >= 1/255  <=>  q <= 2 ln(255 opacity); a little slack keeps the
    // exact test of the tile kernels the only one that decides.
    p.maxDistance2 = 2.0f * logOf(255.0f * smaller(f.opacity, V{} + 1.0f)) * 1.001f + 1e-4f;
    kept &= lanes::mask(p.maxDistance2 > 0.0f);
    // The smaller of the quad's box and the box of the ellipse where fragments can be kept.
    const V reach = lanes::squareRoot(p.maxDistance2) / 3.0f;
    const V ex = smaller(magnitude(a1x) + magnitude(a2x), reach * lanes::squareRoot(a1x * a1x + a2x * a2x));
    const V ey = smaller(magnitude(a1y) + magnitude(a2y), reach * lanes::squareRoot(a1y * a1y + a2y * a2y));
    p.minX = p.centreX - ex;
    p.minY = p.centreY - ey;
    p.maxX = p.centreX + ex;
    p.maxY = p.centreY + ey;
    // The same ellipse as a form in window pixels, for binning: u^2 + v^2 <= maxDistance2.
    const V scale = 1.0f / p.maxDistance2;
    p.qxx = (p.i00 * p.i00 + p.i10 * p.i10) * scale;
    p.qxy = (p.i00 * p.i01 + p.i10 * p.i11) * scale;
    p.qyy = (p.i01 * p.i01 + p.i11 * p.i11) * scale;
    p.hasForm = lanes::finite(p.qxx) & lanes::finite(p.qxy) & lanes::finite(p.qyy);
    p.kept = kept;
    return p;
}

// Lane `lane` of `p` and `f` into a record and its bounds.
template <class V>
WindowBounds store(const PrimitiveLanes<V>& p, const lanes::Footprint<V>& f, int lane, SplatPrimitive& record) {
    const auto at = [lane](const auto& v) {
        if constexpr (std::is_same_v<V, float>) {
            (void)lane; // one lane
            return v;
        } else {
            return v[lane];
        }
    };
    if (!at(p.kept)) return {};
    record = {at(p.centreX), at(p.centreY), at(p.depth), at(p.i00), at(p.i01),    at(p.i10),
              at(p.i11),     at(f.red),     at(f.green), at(f.blue), at(f.opacity), at(p.maxDistance2)};
    WindowBounds bounds{at(p.minX), at(p.minY), at(p.maxX), at(p.maxY)};
    if (at(p.hasForm)) {
        bounds.centreX = record.centreX;
        bounds.centreY = record.centreY;
        bounds.qxx = at(p.qxx);
        bounds.qxy = at(p.qxy);
        bounds.qyy = at(p.qyy);
    }
    return bounds;
}

} // namespace

WindowBounds setupSplatPrimitive(const DrawContext& context, std::uint32_t instance, SplatPrimitive& p,
                                 const Splat*& splat) {
    const auto* uniforms = context.vertexBindings->buffer<UniformsArray>(0);
    splat = splatAt(*context.vertexBindings, instance);
    if (!uniforms || !splat) return {};
    const Uniforms& u = viewUniforms(*uniforms, context.amplificationId);
    const lanes::Footprint<float> f = lanes::project(u, lanes::load(*splat));
    return store(setUp(context, u, f), f, 0, p);
}

void setupSplatPrimitives(const DrawContext& context, std::uint32_t first, SplatPrimitive* const p[4],
                          WindowBounds bounds[4]) {
    const auto* uniforms = context.vertexBindings->buffer<UniformsArray>(0);
    const Splat* splats[4];
    for (std::uint32_t i = 0; i < 4; ++i) splats[i] = splatAt(*context.vertexBindings, first + i);
    if (!uniforms || !splats[3]) {
        for (std::uint32_t i = 0; i < 4; ++i) bounds[i] = setupSplatPrimitive(context, first + i, *p[i], splats[i]);
        return;
    }
    const Uniforms& u = viewUniforms(*uniforms, context.amplificationId);
    const lanes::Footprint<Float4> f = lanes::project(u, lanes::load(splats));
    const PrimitiveLanes<Float4> lanesSetUp = setUp(context, u, f);
    for (int i = 0; i < 4; ++i) bounds[i] = store(lanesSetUp, f, i, *p[i]);
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
        if (!bounds.empty()) record.rows = rowReachOf(record.splat);
        return bounds;
    }

    // Four splats at a time, then one at a time for the rest.
    void setupInstances(const DrawContext& context, std::uint32_t first, std::uint32_t count, std::byte* primitives,
                        std::size_t stride, WindowBounds* bounds) const override {
        std::uint32_t i = 0;
        for (; i + 4 <= count; i += 4) {
            SplatGatherRecord* records[4];
            SplatPrimitive* splats[4];
            for (int k = 0; k < 4; ++k) {
                records[k] = new (primitives + (i + k) * stride) SplatGatherRecord;
                splats[k] = &records[k]->splat;
            }
            setupSplatPrimitives(context, first + i, splats, bounds + i);
            for (int k = 0; k < 4; ++k)
                if (!bounds[i + k].empty()) records[k]->rows = rowReachOf(records[k]->splat);
        }
        for (; i < count; ++i) bounds[i] = SplatFusedDraw::setup(context, first + i, primitives + i * stride);
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
