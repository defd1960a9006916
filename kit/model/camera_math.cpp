#include "kit/model/camera_math.hpp"

#include <cmath>

namespace MivoKit {

simd::float4x4 rotationMatrix(float radians, simd::float3 axis) {
    const float len2 = simd::dot(axis, axis);
    if (!(len2 > 0.0f) || !std::isfinite(len2)) return simd::float4x4::identity();
    const float inv = 1.0f / std::sqrt(len2);
    const float x = axis.x * inv, y = axis.y * inv, z = axis.z * inv;
    const float c = std::cos(radians), s = std::sin(radians), k = 1.0f - c;
    return simd::float4x4::fromColumns({c + k * x * x, k * x * y + s * z, k * x * z - s * y, 0},
                                       {k * x * y - s * z, c + k * y * y, k * y * z + s * x, 0},
                                       {k * x * z + s * y, k * y * z - s * x, c + k * z * z, 0},
                                       {0, 0, 0, 1});
}

simd::float4x4 perspectiveMatrix(float fovyRadians, float aspectRatio, float nearZ, float farZ) {
    const float ys = 1.0f / std::tan(fovyRadians * 0.5f);
    const float xs = ys / aspectRatio;
    const float zs = farZ / (nearZ - farZ);
    return simd::float4x4::fromColumns({xs, 0, 0, 0}, {0, ys, 0, 0}, {0, 0, zs, -1}, {0, 0, zs * nearZ, 0});
}

} // namespace MivoKit
