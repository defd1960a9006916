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
    // nothing to draw.
    if (!(clip.w > 0.0f) || !std::isfinite(clip.w) || !(clip.z >= 0.0f && clip.z <= clip.w)) return f;
    const float depth = -view.z;
    if (!(depth > 0.0f)) return f;

    const float width = static_cast<float>(u.screenSize.x), height = static_cast<float>(u.screenSize.y);
    const float focalX = u.projectionMatrix.columns[0].x * width * 0.5f;
    const float focalY = u.projectionMatrix.columns[1].y * height * 0.5f;
    if (!(focalX > 0.0f) || !(focalY > 0.0f) || !std::isfinite(focalX) || !std::isfinite(focalY)) return f;

    // Jacobian of the projection to pixels (y down) at the centre; the tangents are limited to
    // 1.3 times the field of view so splats far outside the view do not blow up.
    const float limitX = 1.3f * width * 0.5f / focalX, limitY = 1.3f * height * 0.5f / focalY;
    const float tx = std::clamp(view.x / depth, -limitX, limitX) * depth;
    const float ty = std::clamp(view.y / depth, -limitY, limitY) * depth;
    const float j00 = focalX / depth, j02 = focalX * tx / (depth * depth);
    const float j11 = -focalY / depth, j12 = -focalY * ty / (depth * depth);

    // T = J * W with W the rotation part of the view matrix (rows of W are its row vectors).
    const simd::float4x4& v = u.viewMatrix;
    float t[2][3];
    for (int c = 0; c < 3; ++c) {
        const float w0 = v.columns[c].x, w1 = v.columns[c].y, w2 = v.columns[c].z; // W[row][c]
        t[0][c] = j00 * w0 + j02 * w2;
        t[1][c] = j11 * w1 + j12 * w2;
    }
    const float sxx = halfToFloat(s.covA.x), sxy = halfToFloat(s.covA.y), sxz = halfToFloat(s.covA.z);
    const float syy = halfToFloat(s.covB.x), syz = halfToFloat(s.covB.y), szz = halfToFloat(s.covB.z);
    const float sigma[3][3] = {{sxx, sxy, sxz}, {sxy, syy, syz}, {sxz, syz, szz}};
    float ts[2][3]; // T * Sigma
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) ts[r][c] = t[r][0] * sigma[0][c] + t[r][1] * sigma[1][c] + t[r][2] * sigma[2][c];
    const float a = ts[0][0] * t[0][0] + ts[0][1] * t[0][1] + ts[0][2] * t[0][2] + 0.3f;
    const float b = ts[0][0] * t[1][0] + ts[0][1] * t[1][1] + ts[0][2] * t[1][2];
    const float c = ts[1][0] * t[1][0] + ts[1][1] * t[1][1] + ts[1][2] * t[1][2] + 0.3f;

    // Principal axes of the 2D covariance [[a, b], [b, c]].
    const float mid = 0.5f * (a + c);
    const float radius = std::sqrt(0.25f * (a - c) * (a - c) + b * b);
    const float lambda1 = mid + radius, lambda2 = mid - radius;
    if (!(lambda2 > 0.0f) || !std::isfinite(lambda1)) return f;
    float ex = 1.0f, ey = 0.0f;
    if (b != 0.0f) {
        ex = b;
        ey = lambda1 - a;
        const float len = std::sqrt(ex * ex + ey * ey);
        ex /= len;
        ey /= len;
    } else if (c > a) {
        ex = 0.0f;
        ey = 1.0f;
    }
    const float r1 = 3.0f * std::sqrt(lambda1), r2 = 3.0f * std::sqrt(lambda2);

    const float opacity = halfToFloat(s.color.a);
    if (!(opacity >= kMinAlpha)) return f; // no fragment could reach the smallest kept alpha
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
