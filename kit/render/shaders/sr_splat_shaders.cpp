#include "kit/render/shaders/sr_splat_shaders.hpp"

#include "kit/render/shaders/splat_shading.hpp"
#include "platform/gpu/half.hpp"
#include "platform/gpu/pipeline.hpp"

#include <array>

namespace MivoKit {

namespace shaders {

using namespace platform::gpu;

namespace {

// Features 3 to 7 of the record, the ones the colour does not already carry.
std::array<float, 5> extraFeatures(const Splat& s) {
    return {halfToFloat(s.sr.f3), halfToFloat(s.sr.f4), halfToFloat(s.sr.f5), halfToFloat(s.sr.f6),
            halfToFloat(s.sr.f7)};
}

} // namespace

void srSplatVertexShader(const VertexInput& in, VertexOutput& out) {
    const Splat* splat = splatCorner(in, out);
    if (!splat) return;
    const auto features = extraFeatures(*splat);
    std::copy(features.begin(), features.end(), out.varyings.begin() + kSplatCornerVaryings);
}

bool srSplatFragmentShader(const FragmentInput& in, FragmentOutput& out) {
    const float* v = in.varyings;
    const float alpha = splatAlpha(v[5], v[0], v[1]);
    if (!(alpha >= kMinAlpha)) return false;
    out.color[0] = {v[2] * alpha, v[3] * alpha, v[4] * alpha, alpha};
    out.color[1] = {v[6] * alpha, v[7] * alpha, v[8] * alpha, alpha};
    out.color[2] = {v[9] * alpha, v[10] * alpha, 0.0f, alpha};
    return true;
}

namespace {

// Features 3 to 7 stay halves, as in the record, so that a set-up splat fits one cache line.
struct SRSplatPrimitive {
    SplatPrimitive splat;
    std::array<std::uint16_t, 5> features;
};
static_assert(sizeof(SRSplatPrimitive) <= 64);

class SRSplatFusedDraw final : public FusedDraw {
public:
    std::size_t frontToBackAttachments() const override { return kSRSplatAttachmentCount; }
    std::size_t primitiveBytes() const override { return sizeof(SRSplatPrimitive); }

    WindowBounds setup(const DrawContext& context, std::uint32_t instance, std::byte* primitive) const override {
        auto* p = new (primitive) SRSplatPrimitive;
        const Splat* splat = nullptr;
        const WindowBounds bounds = setupSplatPrimitive(context, instance, p->splat, splat);
        if (!bounds.empty()) p->features = {splat->sr.f3, splat->sr.f4, splat->sr.f5, splat->sr.f6, splat->sr.f7};
        return bounds;
    }

    void shade(const DrawContext& context, const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1,
               int y1) const override {
        const auto& s = *reinterpret_cast<const SRSplatPrimitive*>(primitive);
        const SplatPrimitive& p = s.splat;
        if (!insideDepthRange(context, p)) return;
        // Attachments past the pass's are not written.
        const std::size_t count = std::min(tile.colorCount, kSRSplatAttachmentCount);
        const auto& attachments = tile.pipeline->descriptor().colorAttachments;
        std::array<float, 5> f;
        for (std::size_t i = 0; i < f.size(); ++i) f[i] = halfToFloat(s.features[i]);
        std::array<GatheredColour, kSRSplatAttachmentCount> colours{GatheredColour{p.red, p.green, p.blue, false},
                                                                    GatheredColour{f[0], f[1], f[2], false},
                                                                    GatheredColour{f[3], f[4], 0.0f, false}};
        for (std::size_t k = 0; k < count; ++k) {
            GatheredColour& c = colours[k];
            c.clamps = attachments[k].pixelFormat != PixelFormat::rgba16Float && !withinUnitRange(c.red, c.green, c.blue);
        }
        if (tile.transmittance) { // front to back: under what nearer splats left visible
            TileGatherer(tile, colours.data(), count).gather(p, x0, y0, x1, y1);
            return;
        }
        // Any other blending or a depth test: fragment by fragment through the tile.
        float alpha[kTileSize + 4];
        for (int y = y0; y < y1; ++y) {
            rowAlpha(p, (x0 + 0.5f) - p.centreX, (y + 0.5f) - p.centreY, x1 - x0, alpha);
            for (int x = x0; x < x1; ++x) {
                const float a = alpha[x - x0];
                if (a == 0.0f) continue;
                FragmentOutput out{};
                for (std::size_t k = 0; k < kSRSplatAttachmentCount; ++k)
                    out.color[k] = {colours[k].red * a, colours[k].green * a, colours[k].blue * a, a};
                tile.writeFragment(x, y, p.depth, out);
            }
        }
    }
};

} // namespace

std::shared_ptr<const FusedDraw> makeSRSplatFusedDraw() { return std::make_shared<SRSplatFusedDraw>(); }

} // namespace shaders

} // namespace MivoKit
