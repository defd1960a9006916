// The gather eight pixels at a time with AVX2 and FMA. Built with -mavx2 -mfma (see
// kit/render/CMakeLists.txt) and called only where the CPU has both: everything here is
// intrinsics and functions of its own, none of a shared header (whose inline functions, built
// here with AVX2, could become the copy every caller links to).

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

// e^(d2 * scale) for -87 <= d2 * scale <= 0 with the polynomial of splat_shading.hpp's fastExp,
// its steps fused; scale is -0.5 log2(e), so that d2 * scale equals (-0.5 d2) * log2(e) there.
__m256 fastExp2(__m256 d2, __m256 scale) {
    const __m256 t = _mm256_mul_ps(d2, scale);
    const __m256i whole = _mm256_cvttps_epi32(t); // towards zero: t - whole in (-1, 0]
    const __m256 f = _mm256_add_ps(_mm256_sub_ps(t, _mm256_cvtepi32_ps(whole)), _mm256_set1_ps(1.0f));
    __m256 p = _mm256_set1_ps(1.8775767e-3f);
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(8.9893397e-3f));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(5.5826318e-2f));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(2.4015361e-1f));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(6.9315308e-1f));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(9.9999994e-1f));
    const __m256i exponent = _mm256_slli_epi32(_mm256_add_epi32(whole, _mm256_set1_epi32(126)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(exponent));
}

// Per row of the tile, the columns [x0, x1) the splat's alpha can reach, eight rows at a time:
// u^2 + v^2 <= maxDistance2 is per row a quadratic in dx (as the portable kernel's RowSpans),
// widened by 1/16 pixel so that rounding never loses a pixel the per-pixel test keeps.
// Only the blocks of eight rows that hold a row of [rowFirst, rowEnd) are filled.
void rowSpans(const SplatPrimitive& p, int originX, int originY, int x0, int x1, int rowFirst, int rowEnd,
              std::uint32_t spans[kSize]) {
    const float a = p.i00 * p.i00 + p.i10 * p.i10;
    const float b = p.i00 * p.i01 + p.i10 * p.i11;
    const float det = p.i00 * p.i11 - p.i01 * p.i10;
    const float inverseA = 1.0f / a;
    const __m256 scale = _mm256_set1_ps(inverseA), slope = _mm256_set1_ps(-b * inverseA);
    const __m256 limit = _mm256_set1_ps(a * p.maxDistance2), det2 = _mm256_set1_ps(det * det);
    const __m256 centreX = _mm256_set1_ps(p.centreX - 0.5f), slack = _mm256_set1_ps(1.0f / 16.0f);
    const __m256 first = _mm256_set1_ps(float(x0)), last = _mm256_set1_ps(float(x1 - 1));
    const __m256i origin = _mm256_set1_epi32(originX), one = _mm256_set1_epi32(1);
    for (int r = rowFirst & ~7; r < rowEnd; r += 8) {
        const __m256 rows = _mm256_add_ps(_mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_ps(float(originY + r)));
        const __m256 dy = _mm256_sub_ps(_mm256_add_ps(rows, _mm256_set1_ps(0.5f)), _mm256_set1_ps(p.centreY));
        const __m256 discriminant = _mm256_fnmadd_ps(_mm256_mul_ps(det2, dy), dy, limit);
        const __m256 half = _mm256_mul_ps(_mm256_sqrt_ps(_mm256_max_ps(discriminant, _mm256_setzero_ps())), scale);
        const __m256 mid = _mm256_fmadd_ps(slope, dy, centreX);
        // max and min take their second operand for NaN: a NaN span covers [x0, x1).
        const __m256 lo = _mm256_max_ps(_mm256_sub_ps(_mm256_sub_ps(mid, half), slack), first);
        const __m256 hi = _mm256_min_ps(_mm256_add_ps(_mm256_add_ps(mid, half), slack), last);
        const __m256i from = _mm256_sub_epi32(_mm256_cvtps_epi32(_mm256_round_ps(lo, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC)), origin);
        const __m256i to = _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_cvtps_epi32(_mm256_round_ps(hi, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)), one), origin);
        // Bits [from, to): none when from >= to.
        __m256i mask = _mm256_andnot_si256(_mm256_sub_epi32(_mm256_sllv_epi32(one, from), one),
                                           _mm256_sub_epi32(_mm256_sllv_epi32(one, to), one));
        const __m256 reached = _mm256_cmp_ps(discriminant, _mm256_setzero_ps(), _CMP_NLT_UQ); // NaN: reached
        mask = _mm256_and_si256(mask, _mm256_castps_si256(reached));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(spans + r), mask);
    }
}

// kRGB: exactly three plain channels (one attachment whose colour needs no clamping), the direct
// renderer's case, kept in registers; otherwise any channels.
template <bool kRGB>
void gatherRows(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    const int rowFirst = y0 - tile.originY, rowEnd = y1 - tile.originY;
    std::uint32_t rows = *tile.openRows & ((1u << rowEnd) - 1) & ~((1u << rowFirst) - 1);
    if (!rows) return;
    alignas(32) std::uint32_t spans[kSize];
    rowSpans(p, tile.originX, tile.originY, x0, x1, rowFirst, rowEnd, spans);
    const float dx0 = (float(tile.originX) + 0.5f) - p.centreX;
    const __m256 dxLanes[2] = {_mm256_add_ps(_mm256_set1_ps(dx0), _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7)),
                               _mm256_add_ps(_mm256_set1_ps(dx0), _mm256_setr_ps(8, 9, 10, 11, 12, 13, 14, 15))};
    const __m256i laneBit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256 i00 = _mm256_set1_ps(p.i00), i10 = _mm256_set1_ps(p.i10), opacity = _mm256_set1_ps(p.opacity);
    const __m256 nine = _mm256_set1_ps(9.0f), exponentScale = _mm256_set1_ps(-0.5f * 1.44269504f);
    const __m256 limit = _mm256_set1_ps(tile.limit);
    __m256 value0 = _mm256_setzero_ps(), value1 = value0, value2 = value0;
    if constexpr (kRGB) {
        value0 = _mm256_set1_ps(tile.plain[0].value);
        value1 = _mm256_set1_ps(tile.plain[1].value);
        value2 = _mm256_set1_ps(tile.plain[2].value);
    }
    for (; rows; rows &= rows - 1) {
        const int row = __builtin_ctz(rows);
        std::uint16_t& open = tile.openPixels[row];
        const std::uint32_t wanted = spans[row] & open;
        if (!wanted) continue;
        const float dy = (float(tile.originY + row) + 0.5f) - p.centreY;
        const __m256 uBase = _mm256_set1_ps(p.i01 * dy), vBase = _mm256_set1_ps(p.i11 * dy);
        float* through = tile.transmittance + row * kSize;
        std::uint32_t stillOpen = open & ~wanted;
        for (int half = 0; half < 2; ++half) {
            const int c = half * 8;
            const std::uint32_t bits = wanted >> c & 0xff;
            if (!bits) continue;
            const __m256i lanes =
                _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(int(bits)), laneBit), laneBit);
            const __m256 u = _mm256_fmadd_ps(i00, dxLanes[half], uBase);
            const __m256 v = _mm256_fmadd_ps(i10, dxLanes[half], vBase);
            const __m256 uu = _mm256_mul_ps(u, u), vv = _mm256_mul_ps(v, v);
            // u^2 <= 9 exactly when |u| <= 3 (rounding is monotonic and 9 is a float).
            const __m256 inside = _mm256_cmp_ps(_mm256_max_ps(uu, vv), nine, _CMP_LE_OQ);
            const __m256 distance2 = _mm256_min_ps(_mm256_add_ps(uu, vv), _mm256_set1_ps(150.0f)); // exponent above -87
            const __m256 value =
                _mm256_min_ps(_mm256_mul_ps(opacity, fastExp2(distance2, exponentScale)), _mm256_set1_ps(kMaxAlpha));
            const __m256 kept = _mm256_and_ps(_mm256_cmp_ps(value, _mm256_set1_ps(kMinAlpha), _CMP_GE_OQ),
                                              _mm256_and_ps(inside, _mm256_castsi256_ps(lanes)));
            const __m256 a = _mm256_and_ps(value, kept);

            const __m256 t = _mm256_loadu_ps(through + c);
            const __m256 weight = _mm256_mul_ps(t, a);
            const __m256 left = _mm256_sub_ps(t, weight);
            _mm256_storeu_ps(through + c, left);
            const int at = row * kSize + c;
            if constexpr (kRGB) {
                float* r = tile.plain[0].plane + at;
                float* g = tile.plain[1].plane + at;
                float* b = tile.plain[2].plane + at;
                _mm256_storeu_ps(r, _mm256_fmadd_ps(value0, weight, _mm256_loadu_ps(r)));
                _mm256_storeu_ps(g, _mm256_fmadd_ps(value1, weight, _mm256_loadu_ps(g)));
                _mm256_storeu_ps(b, _mm256_fmadd_ps(value2, weight, _mm256_loadu_ps(b)));
            } else {
                for (int k = 0; k < tile.plainCount; ++k) {
                    float* s = tile.plain[k].plane + at;
                    _mm256_storeu_ps(s, _mm256_fmadd_ps(_mm256_set1_ps(tile.plain[k].value), weight, _mm256_loadu_ps(s)));
                }
                for (int k = 0; k < tile.clampedCount; ++k) {
                    float* s = tile.clamped[k].plane + at;
                    __m256 premultiplied = _mm256_mul_ps(_mm256_set1_ps(tile.clamped[k].value), a);
                    // clampUnit: NaN becomes 0, as (v > 0 ? v : 0) does.
                    premultiplied = _mm256_and_ps(premultiplied,
                                                  _mm256_cmp_ps(premultiplied, _mm256_setzero_ps(), _CMP_GT_OQ));
                    premultiplied = _mm256_min_ps(premultiplied, _mm256_set1_ps(1.0f));
                    _mm256_storeu_ps(s, _mm256_fmadd_ps(premultiplied, t, _mm256_loadu_ps(s)));
                }
            }
            const __m256 stays = _mm256_and_ps(_mm256_cmp_ps(left, limit, _CMP_GE_OQ), _mm256_castsi256_ps(lanes));
            stillOpen |= std::uint32_t(_mm256_movemask_ps(stays)) << c;
        }
        open = std::uint16_t(stillOpen);
        if (!open) *tile.openRows &= ~(1u << row);
    }
}

void gather(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    if (tile.plainCount == 3 && tile.clampedCount == 0) gatherRows<true>(p, tile, x0, y0, x1, y1);
    else gatherRows<false>(p, tile, x0, y0, x1, y1);
}

} // namespace

const SplatTileKernels& avx2SplatTileKernels() {
    static constexpr SplatTileKernels kernels{"avx2", &gather};
    return kernels;
}

} // namespace shaders

} // namespace MivoKit

#endif
