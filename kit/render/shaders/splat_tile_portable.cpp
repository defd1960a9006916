// The reference gather: four pixels at a time on GCC vector types, built for baseline x86-64.

#include "kit/render/shaders/splat_tile_kernels.hpp"

#include "kit/render/shaders/splat_shading.hpp"

#include <cmath>
#include <cstring>

namespace MivoKit {

namespace shaders {
namespace {

static_assert(kGatherTileSize == platform::gpu::kTileSize);

// Bit i set where lane i of `mask` (all ones or zero) is set.
std::uint32_t laneBits(Int4 mask) {
#if defined(__SSE2__)
    return std::uint32_t(__builtin_ia32_movmskps(reinterpret_cast<Float4>(mask)));
#else
    return std::uint32_t((mask[0] & 1) | (mask[1] & 2) | (mask[2] & 4) | (mask[3] & 8));
#endif
}

// The groups of four columns of row y where the splat's alpha can reach the smallest kept alpha,
// widened a little so that rounding never loses a pixel the per-pixel test keeps.
class RowSpans {
public:
    RowSpans(const SplatPrimitive& p, int originX) : p_(p) {
        // u^2 + v^2 <= maxDistance2 is a*dx^2 + 2*b*dx*dy + c*dy^2 <= maxDistance2; per row a
        // quadratic in dx with discriminant a*maxDistance2 - det^2 * dy^2.
        const float a = p.i00 * p.i00 + p.i10 * p.i10;
        const float b = p.i00 * p.i01 + p.i10 * p.i11;
        const float det = p.i00 * p.i11 - p.i01 * p.i10;
        inverseA_ = 1.0f / a;
        slope_ = -b * inverseA_;
        aTimesLimit_ = a * p.maxDistance2;
        det2_ = det * det;
        groupStart_ = Float4{0, 4, 8, 12} + float(originX);
    }

    // Bits of the tile columns of row y in the groups the splat may reach.
    std::uint32_t columns(int y) const {
        static constexpr std::uint16_t kGroups[16] = {0x0000, 0x000f, 0x00f0, 0x00ff, 0x0f00, 0x0f0f, 0x0ff0, 0x0fff,
                                                      0xf000, 0xf00f, 0xf0f0, 0xf0ff, 0xff00, 0xff0f, 0xfff0, 0xffff};
        const float dy = (float(y) + 0.5f) - p_.centreY;
        const float discriminant = aTimesLimit_ - det2_ * dy * dy;
        if (discriminant < 0.0f) return 0; // NaN goes on to the whole row
        const float half = std::sqrt(discriminant) * inverseA_, mid = p_.centreX + slope_ * dy - 0.5f;
        const float lo = mid - half - kSlack, hi = mid + half + kSlack; // pixel x has its centre at x + 0.5
        if (!(lo <= hi)) return 0xffff; // NaN
        return kGroups[laneBits((groupStart_ + 3.0f >= lo) & (groupStart_ <= hi))];
    }

private:
    static constexpr float kSlack = 1.0f / 16.0f;
    const SplatPrimitive& p_;
    float inverseA_, slope_, aTimesLimit_, det2_;
    Float4 groupStart_;
};

void add(float* sum, Float4 value) {
    Float4 s;
    std::memcpy(&s, sum, sizeof s);
    s += value;
    std::memcpy(sum, &s, sizeof s);
}

void gather(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    constexpr int kSize = kGatherTileSize;
    const RowSpans spans(p, tile.originX);
    const std::uint32_t rectangle = ((1u << (x1 - tile.originX)) - 1) & ~((1u << (x0 - tile.originX)) - 1);
    const float dx0 = (float(tile.originX) + 0.5f) - p.centreX; // pixel column 0 of the tile
    Float4 dx[kSize / 4];
    for (int g = 0; g < kSize / 4; ++g) dx[g] = dx0 + (Float4{0, 1, 2, 3} + float(4 * g));
    const Int4 laneBit{1, 2, 4, 8};
    for (int y = y0; y < y1; ++y) {
        const int row = y - tile.originY;
        if (!(*tile.openRows >> row & 1)) continue;
        std::uint16_t& open = tile.openPixels[row];
        const std::uint32_t wanted = spans.columns(y) & rectangle & open;
        if (!wanted) continue;
        const float dy = (float(y) + 0.5f) - p.centreY;
        const Float4 uBase = Float4{} + p.i01 * dy, vBase = Float4{} + p.i11 * dy; // u and v are affine in dx
        float* through = tile.transmittance + row * kSize;
        std::uint32_t stillOpen = open & ~wanted;
        for (int g = 0; g < kSize / 4; ++g) {
            const int c = 4 * g;
            const std::uint32_t bits = wanted >> c & 0xf;
            if (!bits) continue;
            const Int4 lanes = ((Int4{} + int(bits)) & laneBit) != 0;
            const Float4 a = alphaAt(p, uBase + p.i00 * dx[g], vBase + p.i10 * dx[g], lanes);
            Float4 t;
            std::memcpy(&t, through + c, sizeof t);
            const Float4 weight = t * a;
            const Float4 left = t - weight;
            std::memcpy(through + c, &left, sizeof left);
            for (int k = 0; k < tile.plainCount; ++k)
                add(tile.plain[k].plane + row * kSize + c, tile.plain[k].value * weight);
            for (int k = 0; k < tile.clampedCount; ++k)
                add(tile.clamped[k].plane + row * kSize + c, clampUnit(tile.clamped[k].value * a) * t);
            stillOpen |= laneBits((left >= tile.limit) & lanes) << c;
        }
        open = std::uint16_t(stillOpen);
        if (!open) *tile.openRows &= ~(1u << row);
    }
}

} // namespace

const SplatTileKernels& portableSplatTileKernels() {
    static constexpr SplatTileKernels kernels{"portable", &gather};
    return kernels;
}

} // namespace shaders

} // namespace MivoKit
