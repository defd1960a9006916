#pragma once
// The screen-space footprint of one splat (EWA splatting): the 3D covariance projected through
// the Jacobian of the perspective at the splat's centre, widened by a 0.3 px^2 low-pass filter,
// and cut at three standard deviations along its principal axes.
//
// The arithmetic is written once for lanes of either one splat (float) or four (Float4, GCC and
// Clang vector extensions): the generic vertex path projects one splat per call, the fused
// set-up four, and both get the same bits for the same splat. Callers build for baseline x86-64
// (no fused multiply-add), so that neither rounds differently.

#include "kit/render/splat.hpp"
#include "platform/gpu/half.hpp"
#include "platform/simd/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace MivoKit {

namespace shaders {

// The largest opacity a splat reaches, and the smallest a fragment may have before it is dropped.
inline constexpr float kMaxAlpha = 0.99f;
inline constexpr float kMinAlpha = 1.0f / 255.0f;

// Four floats or ints in one SIMD register.
using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));

struct SplatFootprint {
    bool visible = false;
    simd::float4 clipCentre;        // the centre in clip space
    float axis1x, axis1y;           // three standard deviations along the major axis, in pixels (y down)
    float axis2x, axis2y;           // the same along the minor axis
    float red, green, blue, opacity;
};

// The uniforms of amplified view `view` (views past the second use the second).
const Uniforms& viewUniforms(const UniformsArray& uniforms, std::uint32_t view);

SplatFootprint projectSplat(const Uniforms& uniforms, const Splat& splat);

namespace lanes {

// What the lane-generic code needs of a lane type V: masks (all ones where true: an int for one
// lane, Int4 for four), a square root, and half-precision bits widened to floats.
inline std::int32_t mask(bool condition) { return -std::int32_t(condition); }
inline Int4 mask(Int4 condition) { return condition; }
inline float squareRoot(float v) { return std::sqrt(v); }
inline Float4 squareRoot(Float4 v) {
#if defined(__SSE__)
    return __builtin_ia32_sqrtps(v);
#else
    return Float4{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
#endif
}
// Neither infinite nor NaN.
inline std::int32_t finite(float v) { return mask(v - v == 0.0f); }
inline Int4 finite(Float4 v) { return v - v == 0.0f; }
inline float fromHalf(std::uint16_t half) { return platform::gpu::halfToFloat(half); }
// platform::gpu::halfToFloat four at a time, bit for bit.
inline Float4 fromHalf(Int4 half) {
    const Int4 magnitude = half & 0x7fff;
    Int4 bits = (magnitude << 13) + (112 << 23);
    bits |= (magnitude >= 0x7c00) & 0x7f800000;
    const Int4 subnormal = reinterpret_cast<Int4>(__builtin_convertvector(magnitude, Float4) * 5.9604644775390625e-8f);
    bits = magnitude < 0x400 ? subnormal : bits;
    return reinterpret_cast<Float4>(bits | (half & 0x8000) << 16);
}

template <class V>
using Mask = decltype(mask(V{} > V{}));
template <class V>
using HalfBits = std::conditional_t<std::is_same_v<V, float>, std::uint16_t, Int4>;

// The fields of one splat record per lane.
template <class V>
struct Splats {
    V x, y, z;
    HalfBits<V> covA[3], covB[3], color[4];
};

inline Splats<float> load(const Splat& s) {
    return {s.position.x, s.position.y, s.position.z, {s.covA.x, s.covA.y, s.covA.z}, {s.covB.x, s.covB.y, s.covB.z},
            {s.color.r, s.color.g, s.color.b, s.color.a}};
}
inline Splats<Float4> load(const Splat* const s[4]) {
    Splats<Float4> l;
    const auto halves = [&](auto field) {
        return Int4{field(*s[0]), field(*s[1]), field(*s[2]), field(*s[3])};
    };
    l.x = Float4{s[0]->position.x, s[1]->position.x, s[2]->position.x, s[3]->position.x};
    l.y = Float4{s[0]->position.y, s[1]->position.y, s[2]->position.y, s[3]->position.y};
    l.z = Float4{s[0]->position.z, s[1]->position.z, s[2]->position.z, s[3]->position.z};
    l.covA[0] = halves([](const Splat& t) { return int(t.covA.x); });
    l.covA[1] = halves([](const Splat& t) { return int(t.covA.y); });
    l.covA[2] = halves([](const Splat& t) { return int(t.covA.z); });
    l.covB[0] = halves([](const Splat& t) { return int(t.covB.x); });
    l.covB[1] = halves([](const Splat& t) { return int(t.covB.y); });
    l.covB[2] = halves([](const Splat& t) { return int(t.covB.z); });
    l.color[0] = halves([](const Splat& t) { return int(t.color.r); });
    l.color[1] = halves([](const Splat& t) { return int(t.color.g); });
    l.color[2] = halves([](const Splat& t) { return int(t.color.b); });
    l.color[3] = halves([](const Splat& t) { return int(t.color.a); });
    return l;
}

template <class V>
struct Footprint {
    Mask<V> visible;
    V clipX, clipY, clipZ, clipW;
    V axis1x, axis1y, axis2x, axis2y;
    V red, green, blue, opacity;
};

// The footprint of the splats in `s` seen through `u`; lanes where `visible` is false hold
// values of no meaning.
template <class V>
Footprint<V> project(const Uniforms& u, const Splats<V>& s) {
    Footprint<V> f;
    const simd::float4x4& m = u.viewMatrix;
    const simd::float4x4& p = u.projectionMatrix;
    // As simd::float4x4 * float4, with w = 1.
    const V viewX = m.columns[0].x * s.x + m.columns[1].x * s.y + m.columns[2].x * s.z + m.columns[3].x;
    const V viewY = m.columns[0].y * s.x + m.columns[1].y * s.y + m.columns[2].y * s.z + m.columns[3].y;
    const V viewZ = m.columns[0].z * s.x + m.columns[1].z * s.y + m.columns[2].z * s.z + m.columns[3].z;
    const V viewW = m.columns[0].w * s.x + m.columns[1].w * s.y + m.columns[2].w * s.z + m.columns[3].w;
    f.clipX = p.columns[0].x * viewX + p.columns[1].x * viewY + p.columns[2].x * viewZ + p.columns[3].x * viewW;
    f.clipY = p.columns[0].y * viewX + p.columns[1].y * viewY + p.columns[2].y * viewZ + p.columns[3].y * viewW;
    f.clipZ = p.columns[0].z * viewX + p.columns[1].z * viewY + p.columns[2].z * viewZ + p.columns[3].z * viewW;
    f.clipW = p.columns[0].w * viewX + p.columns[1].w * viewY + p.columns[2].w * viewZ + p.columns[3].w * viewW;
    f.opacity = fromHalf(s.color[3]);
    // In front of the eye, inside the depth range and finite (a camera with no field of view is
    // not), and able to reach the smallest kept alpha somewhere.
    const V depth = -viewZ;
    Mask<V> visible = mask(f.clipW > 0.0f) & finite(f.clipW) & mask(f.clipZ >= 0.0f) & mask(f.clipZ <= f.clipW) &
                      mask(depth > 0.0f) & mask(f.opacity >= kMinAlpha);

    const float width = static_cast<float>(u.screenSize.x), height = static_cast<float>(u.screenSize.y);
    const float focalX = p.columns[0].x * width * 0.5f, focalY = p.columns[1].y * height * 0.5f;
    if (!(focalX > 0.0f) || !(focalY > 0.0f) || !std::isfinite(focalX) || !std::isfinite(focalY)) {
        f.visible = Mask<V>{};
        return f;
    }
    // Jacobian of the projection to pixels (y down) at the centre; the tangents are limited to
    // 1.3 times the field of view so splats far outside the view do not blow up.
    const float limitX = 1.3f * width * 0.5f / focalX, limitY = 1.3f * height * 0.5f / focalY;
    const V inverseDepth = 1.0f / depth;
    V tanX = viewX * inverseDepth, tanY = viewY * inverseDepth;
    tanX = tanX < -limitX ? -limitX : (limitX < tanX ? limitX : tanX); // std::clamp, lane by lane
    tanY = tanY < -limitY ? -limitY : (limitY < tanY ? limitY : tanY);
    const V j00 = focalX * inverseDepth, j02 = j00 * tanX;
    const V j11 = -focalY * inverseDepth, j12 = j11 * tanY;

    // T = J * W with W the rotation part of the view matrix (W[row][c] = columns[c][row]).
    const V t00 = j00 * m.columns[0].x + j02 * m.columns[0].z, t01 = j00 * m.columns[1].x + j02 * m.columns[1].z,
            t02 = j00 * m.columns[2].x + j02 * m.columns[2].z;
    const V t10 = j11 * m.columns[0].y + j12 * m.columns[0].z, t11 = j11 * m.columns[1].y + j12 * m.columns[1].z,
            t12 = j11 * m.columns[2].y + j12 * m.columns[2].z;
    const V sxx = fromHalf(s.covA[0]), sxy = fromHalf(s.covA[1]), sxz = fromHalf(s.covA[2]);
    const V syy = fromHalf(s.covB[0]), syz = fromHalf(s.covB[1]), szz = fromHalf(s.covB[2]);
    // The rows of T * Sigma, then the 2D covariance T * Sigma * T^T widened by the low-pass filter.
    const V m00 = t00 * sxx + t01 * sxy + t02 * sxz, m01 = t00 * sxy + t01 * syy + t02 * syz,
            m02 = t00 * sxz + t01 * syz + t02 * szz;
    const V m10 = t10 * sxx + t11 * sxy + t12 * sxz, m11 = t10 * sxy + t11 * syy + t12 * syz,
            m12 = t10 * sxz + t11 * syz + t12 * szz;
    const V a = m00 * t00 + m01 * t01 + m02 * t02 + 0.3f;
    const V b = m00 * t10 + m01 * t11 + m02 * t12;
    const V c = m10 * t10 + m11 * t11 + m12 * t12 + 0.3f;

    // Principal axes of the 2D covariance [[a, b], [b, c]]: (ex, ey) along the larger.
    const V mid = 0.5f * (a + c);
    const V radius = squareRoot(0.25f * (a - c) * (a - c) + b * b);
    const V lambda1 = mid + radius, lambda2 = mid - radius;
    visible &= mask(lambda2 > 0.0f) & finite(lambda1);
    const V ey0 = lambda1 - a;
    const V inverseLength = 1.0f / squareRoot(b * b + ey0 * ey0);
    const Mask<V> slanted = mask(b != 0.0f), upright = mask(c > a);
    const V ex = slanted ? b * inverseLength : (upright ? V{} : V{} + 1.0f);
    const V ey = slanted ? ey0 * inverseLength : (upright ? V{} + 1.0f : V{});
    const V r1 = 3.0f * squareRoot(lambda1), r2 = 3.0f * squareRoot(lambda2);
    f.axis1x = ex * r1;
    f.axis1y = ey * r1;
    f.axis2x = -ey * r2;
    f.axis2y = ex * r2;
    f.red = fromHalf(s.color[0]);
    f.green = fromHalf(s.color[1]);
    f.blue = fromHalf(s.color[2]);
    f.visible = visible;
    return f;
}

} // namespace lanes

} // namespace shaders

} // namespace MivoKit
