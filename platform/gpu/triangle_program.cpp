#include "platform/gpu/command_record.hpp"
#include "platform/gpu/draw_program.hpp"

#include <algorithm>
#include <cmath>

namespace MivoKit {

namespace platform::gpu {
namespace {

// A triangle set up in window coordinates, oriented so that its edge functions are positive inside.
struct TriangleSetup {
    double x[3], y[3];  // snapped to 1/256 pixel
    double area;        // twice the signed area, positive
    float z[3];         // window depth
    float invW[3];
    float varyings[3][kMaxVaryings]; // premultiplied by 1/w for perspective-correct interpolation
};

bool finite4(simd::float4 v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

double snap(float v) { return std::nearbyint(double(v) * 256.0) / 256.0; }

// Edge function of the edge a -> b at p: positive on the interior side once the triangle is
// oriented. Exact for snapped coordinates below 2^15 pixels, so neighbours agree on shared edges.
double edge(double ax, double ay, double bx, double by, double px, double py) {
    return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

// Top-left rule with y pointing down: a top edge runs in +x exactly horizontally, a left edge
// runs upwards.
bool isTopLeft(double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    return (dy == 0 && dx > 0) || dy < 0;
}

class TriangleProgram final : public DrawProgram {
public:
    TriangleProgram(const RenderPipelineDescriptor& pipeline, const DrawContext& context,
                    const command::DrawPrimitives& draw)
        : vertex_(pipeline.vertexFunction->vertexFunction()), fragment_(pipeline.fragmentFunction->fragmentFunction()),
          varyingCount_(std::min(pipeline.vertexFunction->varyingCount(), kMaxVaryings)), context_(context),
          strip_(draw.primitiveType == PrimitiveType::triangleStrip), instanceCount_(draw.instanceCount) {
        perInstance_ = strip_ ? (draw.vertexCount >= 3 ? draw.vertexCount - 2 : 0) : draw.vertexCount / 3;
    }

    std::size_t slotCount() const override { return std::size_t(perInstance_) * instanceCount_; }
    std::size_t primitiveBytes() const override { return sizeof(TriangleSetup); }

    void setup(std::size_t first, std::size_t count, std::byte* primitives, std::size_t stride,
               WindowBounds* bounds) const override {
        for (std::size_t i = 0; i < count; ++i) bounds[i] = setupTriangle(first + i, primitives + i * stride);
    }

    void shade(const std::byte* primitives, std::size_t stride, const TileEntry* entries, std::size_t count,
               TileTarget& tile) const override {
        for (std::size_t e = 0; e < count; ++e) {
            // Records are visited in draw order, scattered in memory: fetch ahead.
            if (e + 4 < count) __builtin_prefetch(primitives + entries[e + 4].slot * stride);
            const TileEntry& entry = entries[e];
            shadeTriangle(primitives + entry.slot * stride, tile, tile.originX + entry.x0, tile.originY + entry.y0,
                          tile.originX + entry.x1, tile.originY + entry.y1);
        }
    }

private:
    WindowBounds setupTriangle(std::size_t slot, std::byte* primitive) const {
        const auto instance = static_cast<std::uint32_t>(slot / perInstance_);
        const auto t = static_cast<std::uint32_t>(slot % perInstance_);
        std::uint32_t ids[3];
        if (strip_) {
            ids[0] = t;
            ids[1] = t + 1;
            ids[2] = t + 2;
        } else {
            ids[0] = 3 * t;
            ids[1] = 3 * t + 1;
            ids[2] = 3 * t + 2;
        }
        auto* tri = new (primitive) TriangleSetup;
        for (int i = 0; i < 3; ++i) {
            VertexOutput out{};
            vertex_(VertexInput{context_.vertexBindings, context_.vertexStart + ids[i], instance,
                                context_.amplificationId},
                    out);
            // Primitives reaching behind the eye are culled rather than clipped.
            if (!finite4(out.position) || !(out.position.w > 0)) return {};
            const simd::float4 w = context_.viewport.toWindow(out.position);
            if (!finite4(w)) return {};
            tri->x[i] = snap(w.x);
            tri->y[i] = snap(w.y);
            tri->z[i] = w.z;
            tri->invW[i] = w.w;
            for (std::size_t k = 0; k < varyingCount_; ++k) tri->varyings[i][k] = out.varyings[k] * w.w;
        }
        double area = edge(tri->x[0], tri->y[0], tri->x[1], tri->y[1], tri->x[2], tri->y[2]);
        if (!(area != 0) || !std::isfinite(area)) return {};
        if (area < 0) { // orient so that the interior is on the positive side of every edge
            std::swap(tri->x[1], tri->x[2]);
            std::swap(tri->y[1], tri->y[2]);
            std::swap(tri->z[1], tri->z[2]);
            std::swap(tri->invW[1], tri->invW[2]);
            std::swap(tri->varyings[1], tri->varyings[2]);
            area = -area;
        }
        tri->area = area;
        return {static_cast<float>(std::min({tri->x[0], tri->x[1], tri->x[2]})),
                static_cast<float>(std::min({tri->y[0], tri->y[1], tri->y[2]})),
                static_cast<float>(std::max({tri->x[0], tri->x[1], tri->x[2]})),
                static_cast<float>(std::max({tri->y[0], tri->y[1], tri->y[2]}))};
    }

    void shadeTriangle(const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1, int y1) const {
        const auto& t = *reinterpret_cast<const TriangleSetup*>(primitive);
        const bool topLeft[3] = {isTopLeft(t.x[1], t.y[1], t.x[2], t.y[2]), isTopLeft(t.x[2], t.y[2], t.x[0], t.y[0]),
                                 isTopLeft(t.x[0], t.y[0], t.x[1], t.y[1])};
        const double zMin = std::min(context_.viewport.viewport.znear, context_.viewport.viewport.zfar);
        const double zMax = std::max(context_.viewport.viewport.znear, context_.viewport.viewport.zfar);
        float varyings[kMaxVaryings];
        for (int py = y0; py < y1; ++py) {
            const double cy = py + 0.5;
            for (int px = x0; px < x1; ++px) {
                const double cx = px + 0.5;
                const double e[3] = {edge(t.x[1], t.y[1], t.x[2], t.y[2], cx, cy),
                                     edge(t.x[2], t.y[2], t.x[0], t.y[0], cx, cy),
                                     edge(t.x[0], t.y[0], t.x[1], t.y[1], cx, cy)};
                bool inside = true;
                for (int i = 0; i < 3; ++i) inside = inside && (e[i] > 0 || (e[i] == 0 && topLeft[i]));
                if (!inside) continue;
                const float b[3] = {float(e[0] / t.area), float(e[1] / t.area), float(e[2] / t.area)};
                const float z = b[0] * t.z[0] + b[1] * t.z[1] + b[2] * t.z[2];
                if (!(z >= zMin && z <= zMax)) continue; // depth clipping
                const float invW = b[0] * t.invW[0] + b[1] * t.invW[1] + b[2] * t.invW[2];
                for (std::size_t k = 0; k < varyingCount_; ++k)
                    varyings[k] =
                        (b[0] * t.varyings[0][k] + b[1] * t.varyings[1][k] + b[2] * t.varyings[2][k]) / invW;
                FragmentOutput out{};
                if (!fragment_(FragmentInput{context_.fragmentBindings,
                                             {float(cx), float(cy), z, invW},
                                             varyings,
                                             context_.amplificationId},
                               out))
                    continue;
                tile.writeFragment(px, py, z, out);
            }
        }
    }

    VertexFunction vertex_;
    FragmentFunction fragment_;
    std::size_t varyingCount_;
    DrawContext context_;
    bool strip_;
    std::uint32_t instanceCount_;
    std::uint32_t perInstance_ = 0;
};

} // namespace

std::unique_ptr<DrawProgram> makeTriangleProgram(const RenderPipelineDescriptor& pipeline, const DrawContext& context,
                                                 const command::DrawPrimitives& draw) {
    return std::make_unique<TriangleProgram>(pipeline, context, draw);
}

} // namespace platform::gpu

} // namespace MivoKit
