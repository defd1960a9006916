// The reference gather: four pixels at a time on GCC vector types, built for baseline x86-64. A
// splat takes, in each row its span reaches with an open pixel, one step per group of four columns
// holding such a pixel (splat_tile_avx2.cpp does the same eight columns at a time).

#include "kit/render/shaders/splat_tile_kernels.hpp"

#include "kit/render/shaders/splat_shading.hpp"

#include <cmath>
#include <cstring>

namespace MivoKit {

namespace shaders {
namespace {

static_assert(kGatherTileSize == platform::gpu::kTileSize);

constexpr int kSize = kGatherTileSize;
constexpr int kPlane = kSize * kSize;
constexpr float kSlack = 1.0f / 16.0f; // row spans are widened by this against rounding
// Records are taken in an order scattered in memory: fetch this many entries ahead.
constexpr std::size_t kFetchAhead = 6;

// Bit i set where lane i of `mask` (all ones or zero) is set.
std::uint32_t laneBits(Int4 mask) {
#if defined(__SSE2__)
    return std::uint32_t(__builtin_ia32_movmskps(reinterpret_cast<Float4>(mask)));
#else
    return std::uint32_t((mask[0] & 1) | (mask[1] & 2) | (mask[2] & 4) | (mask[3] & 8));
#endif
}

// Square roots of four values that are not negative (NaN stays NaN).
Float4 squareRoot(Float4 v) {
#if defined(__SSE__)
    return __builtin_ia32_sqrtps(v);
#else
    return Float4{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
#endif
}

// Per row of the tile, the columns [x0, x1) in which the splat's alpha can reach 1/255 (the ellipse
// of SplatRowReach, widened by kSlack so that rounding never loses a pixel the per-pixel test
// keeps), four rows at a time, for the blocks that hold a row of `rows`. A row whose span is not a
// number covers [x0, x1): the per-pixel tests decide there. Also the rows' terms i01 dy and i11 dy
// of (u, v). Returns the rows of those blocks whose span holds an open pixel (`open`).
std::uint32_t rowSpans(const SplatPrimitive& p, const SplatRowReach& reach, int originX, int originY, int x0, int x1,
                       std::uint32_t rows, const std::uint16_t open[kSize], std::uint32_t spans[kSize],
                       float uRows[kSize], float vRows[kSize]) {
    const float first = float(x0), last = float(x1 - 1); // pixel x has its centre at x + 0.5
    std::uint32_t reachedRows = 0;
    for (int r = 0; r < kSize; r += 4) {
        if (!(rows >> r & 0xf)) continue;
        const Float4 dy = Float4{0.5f, 1.5f, 2.5f, 3.5f} + (float(originY + r) - p.centreY);
        const Float4 uRow = p.i01 * dy, vRow = p.i11 * dy;
        std::memcpy(uRows + r, &uRow, sizeof uRow);
        std::memcpy(vRows + r, &vRow, sizeof vRow);
        const Float4 discriminant = reach.reach - reach.narrowing * dy * dy;
        const Float4 half = squareRoot(discriminant > 0.0f ? discriminant : 0.0f) * reach.inverseWidth;
        const Float4 mid = reach.slope * dy + (p.centreX - 0.5f);
        // Held within [x0 - 1, x1] before the conversion to integers; a NaN span covers [x0, x1).
        Float4 lo = mid - half - kSlack, hi = mid + half + kSlack;
        lo = lo >= first ? lo : first;
        lo = lo <= last + 1.0f ? lo : last + 1.0f;
        hi = hi <= last ? hi : last;
        hi = hi >= first - 1.0f ? hi : first - 1.0f;
        // Whole columns: from = ceil(lo), to = floor(hi) + 1 (truncation corrected by one).
        const Int4 loWhole = __builtin_convertvector(lo, Int4), hiWhole = __builtin_convertvector(hi, Int4);
        const Int4 from = loWhole - (__builtin_convertvector(loWhole, Float4) < lo) - originX;
        const Int4 to = hiWhole + (__builtin_convertvector(hiWhole, Float4) > hi) + 1 - originX;
        const Int4 reached = !(discriminant < 0.0f); // NaN: reached
        const Int4 bits = (((Int4{} + 1) << to) - 1) & ~(((Int4{} + 1) << from) - 1) & reached;
        std::memcpy(spans + r, &bits, sizeof bits);
        const Int4 openHere{open[r], open[r + 1], open[r + 2], open[r + 3]};
        reachedRows |= laneBits((bits & openHere) != 0) << r;
    }
    return reachedRows;
}

void add(float* sum, Float4 value) {
    Float4 s;
    std::memcpy(&s, sum, sizeof s);
    s += value;
    std::memcpy(sum, &s, sizeof s);
}

// What the colour of one step adds to the tile, for weight = t * a (t the transmittance before the
// step, a the fragment alpha, 0 where nothing is gathered). `at` is the step's first pixel.
struct PlainColour { // the direct draw, colour within 0..1: the red, green and blue planes in a row
    float* rgb;
    float r, g, b;
    void add(int at, Float4 weight, Float4, Float4) const {
        shaders::add(rgb + at, r * weight);
        shaders::add(rgb + kPlane + at, g * weight);
        shaders::add(rgb + 2 * kPlane + at, b * weight);
    }
};

struct ClampedColour { // the direct draw into a normalised attachment, colour outside 0..1
    float* rgb;
    float r, g, b;
    void add(int at, Float4, Float4 a, Float4 t) const {
        shaders::add(rgb + at, clampUnit(r * a) * t);
        shaders::add(rgb + kPlane + at, clampUnit(g * a) * t);
        shaders::add(rgb + 2 * kPlane + at, clampUnit(b * a) * t);
    }
};

struct AnyChannels { // gather(): the channels the caller lists
    const GatherTile* tile;
    void add(int at, Float4 weight, Float4 a, Float4 t) const {
        for (int k = 0; k < tile->plainCount; ++k) shaders::add(tile->plain[k].plane + at, tile->plain[k].value * weight);
        for (int k = 0; k < tile->clampedCount; ++k)
            shaders::add(tile->clamped[k].plane + at, clampUnit(tile->clamped[k].value * a) * t);
    }
};

// The tile as the kernel keeps it while it gathers.
struct TileState {
    int originX, originY;
    float* transmittance;
    std::uint16_t* open;
    std::uint32_t openRows;
    float limit;
};

// Gathers one splat over the tile pixels [x0, x1) x [y0, y1) (window coordinates).
template <class Colour>
void gatherSplat(const SplatPrimitive& p, const SplatRowReach& reach, int x0, int y0, int x1, int y1,
                 TileState& tile, const Colour& colour) {
    const int rowFirst = y0 - tile.originY, rowEnd = y1 - tile.originY;
    std::uint32_t rows = tile.openRows & ((1u << rowEnd) - 1) & ~((1u << rowFirst) - 1);
    if (!rows) return;
    std::uint32_t spans[kSize];
    float uRows[kSize], vRows[kSize];
    rows &= rowSpans(p, reach, tile.originX, tile.originY, x0, x1, rows, tile.open, spans, uRows, vRows);
    const Float4 dx0 = Float4{0, 1, 2, 3} + ((float(tile.originX) + 0.5f) - p.centreX);
    const Int4 laneBit{1, 2, 4, 8};
    for (; rows; rows &= rows - 1) {
        const int row = __builtin_ctz(rows);
        const std::uint32_t span = spans[row];
        std::uint32_t open = tile.open[row];
        const std::uint32_t wanted = span & open; // not empty: rows holds only such rows
        const float uRow = uRows[row], vRow = vRows[row];
        // Each group of four columns the span reaches where a pixel is open.
        const std::uint32_t nibbles = (wanted | wanted >> 1 | wanted >> 2 | wanted >> 3) & 0x1111;
        for (std::uint32_t groups = (nibbles | nibbles >> 3 | nibbles >> 6 | nibbles >> 9) & 0xf; groups;
             groups &= groups - 1) {
            const int start = 4 * __builtin_ctz(groups);
            const std::uint32_t bits = wanted >> start & 0xf;
            const Float4 dx = dx0 + float(start);
            const Float4 u = p.i00 * dx + uRow, v = p.i10 * dx + vRow;
            const Float4 uu = u * u, vv = v * v;
            const Int4 inside = (uu <= 9.0f) & (vv <= 9.0f); // exactly |u| <= 3 and |v| <= 3
            Float4 value = p.opacity * gaussian(uu + vv);
            value = value < kMaxAlpha ? value : kMaxAlpha;
            const Int4 lanes = ((Int4{} + int(bits)) & laneBit) != 0; // in the span and open
            const int at = row * kSize + start;
            Float4 t;
            std::memcpy(&t, tile.transmittance + at, sizeof t);
            const Int4 kept = (value >= kMinAlpha) & inside & lanes;
            const Float4 a = reinterpret_cast<Float4>(reinterpret_cast<Int4>(value) & kept);
            const Float4 weight = t * a;
            const Float4 left = t - weight;
            std::memcpy(tile.transmittance + at, &left, sizeof left);
            colour.add(at, weight, a, t);
            // A pixel stays open while it lets through the limit or more (none outside the target is open).
            open &= laneBits(left >= tile.limit) << start | ~(0xfu << start);
        }
        tile.open[row] = std::uint16_t(open);
        if (!open) tile.openRows &= ~(1u << row);
    }
}

TileState stateOf(const GatherTile& tile) {
    return {tile.originX, tile.originY, tile.transmittance, tile.openPixels, *tile.openRows, tile.limit};
}

void gather(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    TileState state = stateOf(tile);
    gatherSplat(p, rowReachOf(p), x0, y0, x1, y1, state, AnyChannels{&tile});
    *tile.openRows = state.openRows;
}

void gatherEntries(const std::byte* records, std::size_t stride, const platform::gpu::TileEntry* entries,
                   std::size_t count, const GatherTile& tile, const GatheredPlanes& planes) {
    TileState state = stateOf(tile);
    for (std::size_t e = count; e > 0 && state.openRows; --e) {
        if (e > kFetchAhead) __builtin_prefetch(records + entries[e - 1 - kFetchAhead].slot * stride);
        const platform::gpu::TileEntry& entry = entries[e - 1];
        if (!(state.openRows & ((1u << entry.y1) - 1) & ~((1u << entry.y0) - 1))) continue; // hidden here
        const auto& record = *reinterpret_cast<const SplatGatherRecord*>(records + entry.slot * stride);
        const SplatPrimitive& p = record.splat;
        const int x0 = state.originX + entry.x0, y0 = state.originY + entry.y0;
        const int x1 = state.originX + entry.x1, y1 = state.originY + entry.y1;
        if (planes.clamps && !withinUnitRange(p.red, p.green, p.blue))
            gatherSplat(p, record.rows, x0, y0, x1, y1, state,
                        ClampedColour{planes.rgb, p.red, p.green, p.blue});
        else
            gatherSplat(p, record.rows, x0, y0, x1, y1, state,
                        PlainColour{planes.rgb, p.red, p.green, p.blue});
    }
    *tile.openRows = state.openRows;
}

} // namespace

const SplatTileKernels& portableSplatTileKernels() {
    static constexpr SplatTileKernels kernels{"portable", &gather, &gatherEntries};
    return kernels;
}

} // namespace shaders

} // namespace MivoKit
