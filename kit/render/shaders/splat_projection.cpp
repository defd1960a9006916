#include "kit/render/shaders/splat_projection.hpp"

#include "platform/gpu/half.hpp"

#include <algorithm>
#include <cmath>

namespace MivoKit {

namespace shaders {

using platform::gpu::halfToFloat;

const Uniforms& viewUniforms(const UniformsArray& uniforms, std::uint32_t view) {
    return view == 0 ? uniforms.uniforms0 : uniforms.uniforms1;
}

SplatFootprint projectSplat(const Uniforms& u, const Splat& s) {
    SplatFootprint f;
    const simd::float4 world{s.position.x, s.position.y, s.position.z, 1.0f};
    const simd::float4 view = u.viewMatrix * world;
    const simd::float4 clip = u.projectionMatrix * view;
    // Behind the eye, outside the depth range, or not finite (a camera with no field of view):
    // nothing to draw. Nor when no fragment could reach the smallest kept alpha.
    if (!(clip.w > 0.0f) || !std::isfinite(clip.w) || !(clip.z >= 0.0f && clip.z <= clip.w)) return f;
    const float depth = -view.z;
    if (!(depth > 0.0f)) return f;
    const float opacity = halfToFloat(s.color.a);
    if (!(opacity >= kMinAlpha)) return f;

    const float width = static_cast<float>(u.screenSize.x), height = static_cast<float>(u.screenSize.y);
    const float focalX = u.projectionMatrix.columns[0].x * width * 0.5f;
    const float focalY = u.projectionMatrix.columns[1].y * height * 0.5f;
    if (!(focalX > 0.0f) || !(focalY > 0.0f) || !std::isfinite(focalX) || !std::isfinite(focalY)) return f;

    // Jacobian of the projection to pixels (y down) at the centre; the tangents are limited to
    // 1.3 times the field of view so splats far outside the view do not blow up.
    const float limitX = 1.3f * width * 0.5f / focalX, limitY = 1.3f * height * 0.5f / focalY;
    const float inverseDepth = 1.0f / depth;
    const float tanX = std::clamp(view.x * inverseDepth, -limitX, limitX);
    const float tanY = std::clamp(view.y * inverseDepth, -limitY, limitY);
    const float j00 = focalX * inverseDepth, j02 = j00 * tanX;
    const float j11 = -focalY * inverseDepth, j12 = j11 * tanY;

    // T = J * W with W the rotation part of the view matrix (W[row][c] = columns[c][row]).
    const simd::float4x4& v = u.viewMatrix;
    const float t00 = j00 * v.columns[0].x + j02 * v.columns[0].z, t01 = j00 * v.columns[1].x + j02 * v.columns[1].z,
                t02 = j00 * v.columns[2].x + j02 * v.columns[2].z;
    const float t10 = j11 * v.columns[0].y + j12 * v.columns[0].z, t11 = j11 * v.columns[1].y + j12 * v.columns[1].z,
                t12 = j11 * v.columns[2].y + j12 * v.columns[2].z;
    const float sxx = halfToFloat(s.covA.x), sxy = halfToFloat(s.covA.y), sxz = halfToFloat(s.covA.z);
    const float syy = halfToFloat(s.covB.x), syz = halfToFloat(s.covB.y), szz = halfToFloat(s.covB.z);
    // The rows of T * Sigma, then the 2D covariance T * Sigma * T^T widened by the low-pass filter.
    const float m00 = t00 * sxx + t01 * sxy + t02 * sxz, m01 = t00 * sxy + t01 * syy + t02 * syz,
                m02 = t00 * sxz + t01 * syz + t02 * szz;
    const float m10 = t10 * sxx + t11 * sxy + t12 * sxz, m11 = t10 * sxy + t11 * syy + t12 * syz,
                m12 = t10 * sxz + t11 * syz + t12 * szz;
    const float a = m00 * t00 + m01 * t01 + m02 * t02 + 0.3f;
    const float b = m00 * t10 + m01 * t11 + m02 * t12;
    const float c = m10 * t10 + m11 * t11 + m12 * t12 + 0.3f;

    // Principal axes of the 2D covariance [[a, b], [b, c]].
    const float mid = 0.5f * (a + c);
    const float radius = std::sqrt(0.25f * (a - c) * (a - c) + b * b);
    const float lambda1 = mid + radius, lambda2 = mid - radius;
    if (!(lambda2 > 0.0f) || !std::isfinite(lambda1)) return f;
    float ex = 1.0f, ey = 0.0f;
    if (b != 0.0f) {
        ex = b;
        ey = lambda1 - a;
        const float inverseLength = 1.0f / std::sqrt(ex * ex + ey * ey);
        ex *= inverseLength;
        ey *= inverseLength;
    } else if (c > a) {
        ex = 0.0f;
        ey = 1.0f;
    }
    const float r1 = 3.0f * std::sqrt(lambda1), r2 = 3.0f * std::sqrt(lambda2);

    f.visible = true;
    f.clipCentre = clip;
    f.axis1x = ex * r1;
    f.axis1y = ey * r1;
    f.axis2x = -ey * r2;
    f.axis2y = ex * r2;
    f.red = halfToFloat(s.color.r);
    f.green = halfToFloat(s.color.g);
    f.blue = halfToFloat(s.color.b);
    f.opacity = opacity;
    return f;
}

} // namespace shaders

} // namespace MivoKit
