// The gather eight pixels at a time with AVX2 and FMA. Built with -mavx2 -mfma (see
// kit/render/CMakeLists.txt) and called only where the CPU has both: everything here is
// intrinsics and functions of its own, none of a shared header (whose inline functions, built
// here with AVX2, could become the copy every caller links to).

#include "kit/render/shaders/splat_tile_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace shaders {
namespace {

// The same cuts as splat_shading.hpp: alpha at most 0.99, fragments under 1/255 dropped, the
// footprint cut at three standard deviations along its axes.
constexpr float kMaxAlpha = 0.99f;
constexpr float kMinAlpha = 1.0f / 255.0f;
constexpr int kSize = kGatherTileSize;

float squareRoot(float v) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(v))); }
float roundUp(float v) { return _mm_cvtss_f32(_mm_round_ss(_mm_setzero_ps(), _mm_set_ss(v), _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC)); }
float roundDown(float v) { return _mm_cvtss_f32(_mm_round_ss(_mm_setzero_ps(), _mm_set_ss(v), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)); }

// e^x for -87 <= x <= 0 with the polynomial of splat_shading.hpp's fastExp, its steps fused.
__m256 fastExp(__m256 x) {
    const __m256 t = _mm256_mul_ps(x, _mm256_set1_ps(1.44269504f));
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

// The columns of a row the splat's alpha can reach, as the portable kernel's RowSpans.
struct RowSpans {
    float inverseA, slope, aTimesLimit, det2;

    explicit RowSpans(const SplatPrimitive& p) {
        const float a = p.i00 * p.i00 + p.i10 * p.i10;
        const float b = p.i00 * p.i01 + p.i10 * p.i11;
        const float det = p.i00 * p.i11 - p.i01 * p.i10;
        inverseA = 1.0f / a;
        slope = -b * inverseA;
        aTimesLimit = a * p.maxDistance2;
        det2 = det * det;
    }

    std::uint32_t columns(const SplatPrimitive& p, int originX, int y, int x0, int x1) const {
        constexpr float kSlack = 1.0f / 16.0f;
        const float dy = (float(y) + 0.5f) - p.centreY;
        const float discriminant = aTimesLimit - det2 * dy * dy;
        if (discriminant < 0.0f) return 0;
        const float half = squareRoot(discriminant) * inverseA, mid = p.centreX + slope * dy - 0.5f;
        float lo = mid - half - kSlack, hi = mid + half + kSlack;
        lo = lo > float(x0) ? lo : float(x0);
        hi = hi < float(x1 - 1) ? hi : float(x1 - 1);
        if (!(lo <= hi)) return 0;
        const int first = int(roundUp(lo)) - originX, end = int(roundDown(hi)) + 1 - originX;
        if (first >= end) return 0;
        return ((1u << end) - 1) & ~((1u << first) - 1);
    }
};

// kRGB: exactly three plain channels (one attachment whose colour needs no clamping), the direct
// renderer's case, kept in registers; otherwise any channels.
template <bool kRGB>
void gatherRows(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1) {
    const RowSpans spans(p);
    const __m256 dx0 = _mm256_set1_ps((float(tile.originX) + 0.5f) - p.centreX);
    const __m256 laneIndex = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i laneBit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256 i00 = _mm256_set1_ps(p.i00), i10 = _mm256_set1_ps(p.i10), opacity = _mm256_set1_ps(p.opacity);
    const __m256 three = _mm256_set1_ps(3.0f), signless = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 limit = _mm256_set1_ps(tile.limit);
    __m256 value0 = _mm256_setzero_ps(), value1 = value0, value2 = value0;
    if constexpr (kRGB) {
        value0 = _mm256_set1_ps(tile.plain[0].value);
        value1 = _mm256_set1_ps(tile.plain[1].value);
        value2 = _mm256_set1_ps(tile.plain[2].value);
    }
    for (int y = y0; y < y1; ++y) {
        const int row = y - tile.originY;
        if (!(*tile.openRows >> row & 1)) continue;
        std::uint16_t& open = tile.openPixels[row];
        const std::uint32_t wanted = spans.columns(p, tile.originX, y, x0, x1) & open;
        if (!wanted) continue;
        const float dy = (float(y) + 0.5f) - p.centreY;
        const __m256 uBase = _mm256_set1_ps(p.i01 * dy), vBase = _mm256_set1_ps(p.i11 * dy);
        float* through = tile.transmittance + row * kSize;
        std::uint32_t stillOpen = open & ~wanted;
        for (int c = 0; c < kSize; c += 8) {
            const std::uint32_t bits = wanted >> c & 0xff;
            if (!bits) continue;
            const __m256i lanes =
                _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(int(bits)), laneBit), laneBit);
            const __m256 dx = _mm256_add_ps(dx0, _mm256_add_ps(laneIndex, _mm256_set1_ps(float(c))));
            const __m256 u = _mm256_fmadd_ps(i00, dx, uBase), v = _mm256_fmadd_ps(i10, dx, vBase);
            __m256 distance2 = _mm256_fmadd_ps(u, u, _mm256_mul_ps(v, v));
            distance2 = _mm256_min_ps(distance2, _mm256_set1_ps(150.0f)); // keeps the exponent above -87
            const __m256 g = _mm256_mul_ps(opacity, fastExp(_mm256_mul_ps(_mm256_set1_ps(-0.5f), distance2)));
            const __m256 value = _mm256_min_ps(g, _mm256_set1_ps(kMaxAlpha));
            __m256 inside = _mm256_and_ps(_mm256_cmp_ps(_mm256_and_ps(u, signless), three, _CMP_LE_OQ),
                                          _mm256_cmp_ps(_mm256_and_ps(v, signless), three, _CMP_LE_OQ));
            inside = _mm256_and_ps(inside, _mm256_cmp_ps(value, _mm256_set1_ps(kMinAlpha), _CMP_GE_OQ));
            inside = _mm256_and_ps(inside, _mm256_castsi256_ps(lanes));
            const __m256 a = _mm256_and_ps(value, inside);

            const __m256 t = _mm256_loadu_ps(through + c);
            const __m256 weight = _mm256_mul_ps(t, a);
            const __m256 left = _mm256_sub_ps(t, weight);
            _mm256_storeu_ps(through + c, left);
            const int at = row * kSize + c;
            if constexpr (kRGB) {
                float* r = tile.plain[0].plane + at;
                float* gr = tile.plain[1].plane + at;
                float* b = tile.plain[2].plane + at;
                _mm256_storeu_ps(r, _mm256_fmadd_ps(value0, weight, _mm256_loadu_ps(r)));
                _mm256_storeu_ps(gr, _mm256_fmadd_ps(value1, weight, _mm256_loadu_ps(gr)));
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
            const __m256 kept = _mm256_and_ps(_mm256_cmp_ps(left, limit, _CMP_GE_OQ), _mm256_castsi256_ps(lanes));
            stillOpen |= std::uint32_t(_mm256_movemask_ps(kept)) << c;
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

#endif
