// The gather eight pixels at a time with AVX2 and FMA. Built with -mavx2 -mfma (see
// kit/render/CMakeLists.txt) and called only where the CPU has both: everything here is
// intrinsics and functions of its own, none of a shared header (whose inline functions, built
// here with AVX2, could become the copy every caller links to).
//
// A splat takes, in each row its span reaches with an open pixel, one step per half row (eight
// pixels) holding such a pixel. Rows without one are found with the spans, eight rows at a time,
// before the row loop, so that the loop's branches follow only the splat's shape.

#include "kit/render/shaders/splat_tile_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace MivoKit {

namespace shaders {
namespace {

// The same cuts as splat_shading.hpp: alpha at most 0.99, fragments under 1/255 dropped, the
// footprint cut at three standard deviations along its axes.
constexpr float kMaxAlpha = 0.99f;
constexpr float kMinAlpha = 1.0f / 255.0f;
constexpr int kSize = kGatherTileSize;
constexpr int kPlane = kSize * kSize;
constexpr float kSlack = 1.0f / 16.0f; // row spans are widened by this against rounding
// Records are taken in an order scattered in memory: fetch this many entries ahead.
constexpr std::size_t kFetchAhead = 6;

// The constants of a step, as whole vectors in memory. A step has more values than there are
// registers: these are read as memory operands of the instructions that use them, so that the
// registers stay with the splat's and the row's values (the compiler would otherwise keep copies
// of them on the stack and reload those).
struct StepConstants {
    __m256 halfLog2e, magic, c5, c4, c3, c2, c1, c0, nine, maxAlpha, minAlpha;
};
constexpr __m256 splat8(float v) { return __m256{v, v, v, v, v, v, v, v}; }
alignas(32) constexpr StepConstants kStepConstants{
    splat8(0.5f * 1.44269504f), splat8(12582912.0f + 127.0f), splat8(1.3390863e-3f), splat8(9.6760319e-3f),
    splat8(5.5503571e-2f),      splat8(2.4022107e-1f),        splat8(6.9314719e-1f), splat8(1.0000001f),
    splat8(9.0f),               splat8(kMaxAlpha),            splat8(kMinAlpha)};

// The constants through a pointer the compiler cannot follow: it must read them where they are used.
const StepConstants* stepConstants() {
    const StepConstants* constants = &kStepConstants;
    asm("" : "+r"(constants));
    return constants;
}

// e^(-q/2) for 0 <= q <= 250 within 3e-7 relative error, as the portable kernel computes it:
// 2^(-q log2(e) / 2) split into the nearest integer n, set as exponent bits, and a polynomial for
// 2^f, |f| <= 1/2. Adding 1.5 * 2^23 (+ 127, the exponent bias) rounds to an integer in the low
// mantissa bits, which shifted left by 23 are the exponent of 2^n.
[[gnu::always_inline]] inline __m256 gaussian(__m256 q, const StepConstants& c) {
    const __m256 k = _mm256_fnmadd_ps(q, c.halfLog2e, c.magic);
    const __m256 f = _mm256_fnmadd_ps(q, c.halfLog2e, _mm256_sub_ps(c.magic, k));
    __m256 p = _mm256_fmadd_ps(c.c5, f, c.c4);
    p = _mm256_fmadd_ps(p, f, c.c3);
    p = _mm256_fmadd_ps(p, f, c.c2);
    p = _mm256_fmadd_ps(p, f, c.c1);
    p = _mm256_fmadd_ps(p, f, c.c0);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_castps_si256(k), 23)));
}

// All ones in lane i where bit i of the index is set.
struct LaneMasks {
    alignas(32) std::uint32_t lanes[256][8];
};
constexpr LaneMasks makeLaneMasks() {
    LaneMasks masks{};
    for (int bits = 0; bits < 256; ++bits)
        for (int lane = 0; lane < 8; ++lane) masks.lanes[bits][lane] = (bits >> lane & 1) ? ~0u : 0u;
    return masks;
}
constexpr LaneMasks kLaneMasks = makeLaneMasks();

__m256 laneMask(std::uint32_t bits) {
    return _mm256_load_ps(reinterpret_cast<const float*>(kLaneMasks.lanes[bits]));
}

// Per row of the tile, the columns [x0, x1) in which the splat's alpha can reach 1/255 (the
// ellipse of SplatRowReach, widened by kSlack so that rounding never loses a pixel the per-pixel
// test keeps), for the blocks of eight rows that hold a row of `rows`. A row whose span is not a
// number covers [x0, x1): the per-pixel tests decide there. Also the rows' terms i01 dy and
// i11 dy of (u, v). Returns the rows of those blocks whose span holds an open pixel (`open`).
[[gnu::always_inline]] inline std::uint32_t rowSpans(const SplatPrimitive& p, const SplatRowReach& reach, int originX,
                                                     int originY, int x0, int x1, std::uint32_t rows,
                                                     const std::uint16_t open[kSize], std::uint32_t spans[kSize],
                                                     float uRows[kSize], float vRows[kSize]) {
    const __m256 slope = _mm256_set1_ps(reach.slope), inverseWidth = _mm256_set1_ps(reach.inverseWidth);
    const __m256 limit = _mm256_set1_ps(reach.reach), narrowing = _mm256_set1_ps(reach.narrowing);
    const __m256 middle = _mm256_set1_ps(p.centreX - 0.5f), slack = _mm256_set1_ps(kSlack); // pixel x: centre x + 0.5
    const __m256 first = _mm256_set1_ps(float(x0)), last = _mm256_set1_ps(float(x1 - 1));
    const __m256 before = _mm256_set1_ps(float(x0 - 1)), beyond = _mm256_set1_ps(float(x1));
    const __m256i origin = _mm256_set1_epi32(originX), one = _mm256_set1_epi32(1);
    std::uint32_t reachedRows = 0;
    for (int r = 0; r < kSize; r += 8) {
        if (!(rows >> r & 0xff)) continue;
        const __m256 dy = _mm256_add_ps(_mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f),
                                        _mm256_set1_ps(float(originY + r) - p.centreY));
        _mm256_store_ps(uRows + r, _mm256_mul_ps(_mm256_set1_ps(p.i01), dy));
        _mm256_store_ps(vRows + r, _mm256_mul_ps(_mm256_set1_ps(p.i11), dy));
        const __m256 discriminant = _mm256_fnmadd_ps(_mm256_mul_ps(narrowing, dy), dy, limit);
        const __m256 half =
            _mm256_mul_ps(_mm256_sqrt_ps(_mm256_max_ps(discriminant, _mm256_setzero_ps())), inverseWidth);
        const __m256 mid = _mm256_fmadd_ps(slope, dy, middle);
        // Held within [x0 - 1, x1] before the conversion to integers; max and min take their
        // second operand for NaN, so that a NaN span covers [x0, x1).
        const __m256 lo = _mm256_min_ps(_mm256_max_ps(_mm256_sub_ps(_mm256_sub_ps(mid, half), slack), first), beyond);
        const __m256 hi = _mm256_max_ps(_mm256_min_ps(_mm256_add_ps(_mm256_add_ps(mid, half), slack), last), before);
        const __m256i from = _mm256_sub_epi32(
            _mm256_cvtps_epi32(_mm256_round_ps(lo, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC)), origin);
        const __m256i to = _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_cvtps_epi32(_mm256_round_ps(hi, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)), one),
            origin);
        // Bits [from, to): none when from >= to.
        __m256i mask = _mm256_andnot_si256(_mm256_sub_epi32(_mm256_sllv_epi32(one, from), one),
                                           _mm256_sub_epi32(_mm256_sllv_epi32(one, to), one));
        const __m256 reached = _mm256_cmp_ps(discriminant, _mm256_setzero_ps(), _CMP_NLT_UQ); // NaN: reached
        mask = _mm256_and_si256(mask, _mm256_castps_si256(reached));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(spans + r), mask);
        const __m256i openHere = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(open + r)));
        const auto empty = std::uint32_t(_mm256_movemask_ps(
            _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(mask, openHere), _mm256_setzero_si256()))));
        reachedRows |= (~empty & 0xffu) << r;
    }
    return reachedRows;
}

// What the colour of one step adds to the tile, for weight = t * a (t the transmittance before the
// step, a the fragment alpha, 0 where nothing is gathered). `at` is the step's first pixel.
struct PlainColour { // the direct draw, colour within 0..1: the red, green and blue planes in a row
    float* rgb;
    __m256 r, g, b;
    void add(int at, __m256 weight, __m256, __m256) const {
        float* c = rgb + at;
        _mm256_storeu_ps(c, _mm256_fmadd_ps(r, weight, _mm256_loadu_ps(c)));
        _mm256_storeu_ps(c + kPlane, _mm256_fmadd_ps(g, weight, _mm256_loadu_ps(c + kPlane)));
        _mm256_storeu_ps(c + 2 * kPlane, _mm256_fmadd_ps(b, weight, _mm256_loadu_ps(c + 2 * kPlane)));
    }
};

// t * clamp(a * value, 0, 1), NaN becoming 0 as in the portable kernel's (v > 0 ? v : 0).
__m256 clampedWeight(__m256 value, __m256 a, __m256 t) {
    __m256 premultiplied = _mm256_mul_ps(value, a);
    premultiplied = _mm256_and_ps(premultiplied, _mm256_cmp_ps(premultiplied, _mm256_setzero_ps(), _CMP_GT_OQ));
    return _mm256_mul_ps(_mm256_min_ps(premultiplied, _mm256_set1_ps(1.0f)), t);
}

struct ClampedColour { // the direct draw into a normalised attachment, colour outside 0..1
    float* rgb;
    __m256 r, g, b;
    void add(int at, __m256, __m256 a, __m256 t) const {
        float* c = rgb + at;
        _mm256_storeu_ps(c, _mm256_add_ps(_mm256_loadu_ps(c), clampedWeight(r, a, t)));
        _mm256_storeu_ps(c + kPlane, _mm256_add_ps(_mm256_loadu_ps(c + kPlane), clampedWeight(g, a, t)));
        _mm256_storeu_ps(c + 2 * kPlane, _mm256_add_ps(_mm256_loadu_ps(c + 2 * kPlane), clampedWeight(b, a, t)));
    }
};

struct AnyChannels { // gather(): the channels the caller lists
    const GatherTile* tile;
    void add(int at, __m256 weight, __m256 a, __m256 t) const {
        for (int k = 0; k < tile->plainCount; ++k) {
            float* s = tile->plain[k].plane + at;
            _mm256_storeu_ps(s, _mm256_fmadd_ps(_mm256_set1_ps(tile->plain[k].value), weight, _mm256_loadu_ps(s)));
        }
        for (int k = 0; k < tile->clampedCount; ++k) {
            float* s = tile->clamped[k].plane + at;
            _mm256_storeu_ps(s, _mm256_add_ps(_mm256_loadu_ps(s), clampedWeight(_mm256_set1_ps(tile->clamped[k].value), a, t)));
        }
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

// The splat as its steps need it.
struct SplatSteps {
    __m256 dx[2]; // pixel centre x - centreX of the tile's columns 0-7 and 8-15
    __m256 i00, i10, opacity, limit;
    const StepConstants* constants;
};

// One step: the eight pixels of row `row` from column `start` (0 or 8) on, of which `bits` (bit i:
// column start + i) lie in the splat's span and are open; uRow and vRow are the row's terms
// i01 dy and i11 dy of (u, v). Returns the row's open pixels after it: a pixel stays open while
// its transmittance is at least the limit (pixels outside the target are never open).
template <int start, class Colour>
[[gnu::always_inline]] inline std::uint32_t step(const SplatSteps& s, __m256 uRow, __m256 vRow, int row,
                                                 std::uint32_t bits, std::uint32_t open, const TileState& tile,
                                                 const Colour& colour) {
    const int at = row * kSize + start;
    const StepConstants& c = *s.constants;
    const __m256 u = _mm256_fmadd_ps(s.i00, s.dx[start >> 3], uRow);
    const __m256 v = _mm256_fmadd_ps(s.i10, s.dx[start >> 3], vRow);
    const __m256 uu = _mm256_mul_ps(u, u), vv = _mm256_mul_ps(v, v);
    // u^2 <= 9 exactly when |u| <= 3 (rounding is monotonic and 9 is a float).
    const __m256 inside = _mm256_cmp_ps(_mm256_max_ps(uu, vv), c.nine, _CMP_LE_OQ);
    const __m256 value = _mm256_min_ps(_mm256_mul_ps(s.opacity, gaussian(_mm256_add_ps(uu, vv), c)), c.maxAlpha);
    const __m256 kept =
        _mm256_and_ps(_mm256_cmp_ps(value, c.minAlpha, _CMP_GE_OQ), _mm256_and_ps(inside, laneMask(bits)));
    const __m256 t = _mm256_loadu_ps(tile.transmittance + at);
    const __m256 limit = s.limit;
    const __m256 a = _mm256_and_ps(value, kept);
    const __m256 weight = _mm256_mul_ps(t, a);
    const __m256 left = _mm256_sub_ps(t, weight);
    _mm256_storeu_ps(tile.transmittance + at, left);
    colour.add(at, weight, a, t);
    const auto stays = std::uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(left, limit, _CMP_GE_OQ)));
    return open & (stays << start | ~(0xffu << start));
}

// Gathers one splat over the tile pixels [x0, x1) x [y0, y1) (window coordinates).
template <class Colour>
void gatherSplat(const SplatPrimitive& p, const SplatRowReach& reach, int x0, int y0, int x1, int y1,
                 TileState& tile, const Colour& colour) {
    const int rowFirst = y0 - tile.originY, rowEnd = y1 - tile.originY;
    std::uint32_t rows = tile.openRows & ((1u << rowEnd) - 1) & ~((1u << rowFirst) - 1);
    if (!rows) return;
    alignas(32) std::uint32_t spans[kSize];
    alignas(32) float uRows[kSize], vRows[kSize];
    rows &= rowSpans(p, reach, tile.originX, tile.originY, x0, x1, rows, tile.open, spans, uRows, vRows);
    SplatSteps s;
    s.dx[0] = _mm256_add_ps(_mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7),
                            _mm256_set1_ps((float(tile.originX) + 0.5f) - p.centreX));
    s.dx[1] = _mm256_add_ps(s.dx[0], _mm256_set1_ps(8.0f));
    s.i00 = _mm256_set1_ps(p.i00);
    s.i10 = _mm256_set1_ps(p.i10);
    s.opacity = _mm256_set1_ps(p.opacity);
    s.limit = _mm256_set1_ps(tile.limit);
    s.constants = stepConstants();
    for (; rows; rows &= rows - 1) {
        const int row = __builtin_ctz(rows);
        const std::uint32_t span = spans[row];
        std::uint32_t open = tile.open[row];
        const std::uint32_t wanted = span & open; // not empty: rows holds only such rows
        const __m256 uRow = _mm256_broadcast_ss(uRows + row), vRow = _mm256_broadcast_ss(vRows + row);
        // Each half row the span reaches where a pixel is open.
        if (wanted & 0xff) open = step<0>(s, uRow, vRow, row, wanted & 0xff, open, tile, colour);
        if (wanted >> 8) open = step<8>(s, uRow, vRow, row, wanted >> 8, open, tile, colour);
        tile.open[row] = std::uint16_t(open);
        if (!open) tile.openRows &= ~(1u << row);
    }
}

// Colours outside 0..1 are rare: kept out of line, so that the common loop keeps its registers.
[[gnu::noinline]] void gatherClamped(const SplatPrimitive& p, const SplatRowReach& reach, int x0, int y0, int x1,
                                     int y1, TileState& tile, float* rgb) {
    gatherSplat(p, reach, x0, y0, x1, y1, tile,
                ClampedColour{rgb, _mm256_set1_ps(p.red), _mm256_set1_ps(p.green), _mm256_set1_ps(p.blue)});
}

TileState stateOf(const GatherTile& tile) {
    return {tile.originX, tile.originY, tile.transmittance, tile.openPixels, *tile.openRows, tile.limit};
}

void gather(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    TileState state = stateOf(tile);
    gatherSplat(p, rowReachOf(p), x0, y0, x1, y1, state, AnyChannels{&tile});
    *tile.openRows = state.openRows;
}

// Red, green and blue all within 0..1 (NaN is not), with one branch for the caller.
bool withinUnitRange(const SplatPrimitive& p) {
    const __m128 colour = _mm_loadu_ps(&p.red); // red, green, blue, opacity
    const __m128 inside = _mm_and_ps(_mm_cmp_ps(colour, _mm_setzero_ps(), _CMP_GE_OQ),
                                     _mm_cmp_ps(colour, _mm_set1_ps(1.0f), _CMP_LE_OQ));
    return (_mm_movemask_ps(inside) & 7) == 7;
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
        const __m256 r = _mm256_set1_ps(p.red), g = _mm256_set1_ps(p.green), b = _mm256_set1_ps(p.blue);
        if (planes.clamps && !withinUnitRange(p)) gatherClamped(p, record.rows, x0, y0, x1, y1, state, planes.rgb);
        else gatherSplat(p, record.rows, x0, y0, x1, y1, state, PlainColour{planes.rgb, r, g, b});
    }
    *tile.openRows = state.openRows;
}

} // namespace

const SplatTileKernels& avx2SplatTileKernels() {
    static constexpr SplatTileKernels kernels{"avx2", &gather, &gatherEntries};
    return kernels;
}

} // namespace shaders

} // namespace MivoKit

#endif
