#include "kit/model/transform.hpp"

#include "kit/model/camera_math.hpp"

#include <cmath>

namespace MivoKit {

namespace Mivo {

void Transform::updateRotation(float radians, simd::float3 axis) { rotation = rotationMatrix(radians, axis); }

Transform Transform::transform(float r, float f, float tx, float ty, float tz) const {
    simd::float4x4 t = simd::float4x4::identity();
    t.columns[3] = {tx, ty, tz, 1};
    return Transform(t * translation, rotationMatrix(r, {0, 1, 0}), f);
}

void Transform::rotate(float x, float y, float z) { rotation = eulerRotationMatrix(x, y, z) * rotation; }

void Transform::rotate(const simd::float4x4& r) { rotation = r; }

simd::float4x4 Transform::eulerRotationMatrix(float x, float y, float z) {
    const float cx = std::cos(x), sx = std::sin(x);
    const float cy = std::cos(y), sy = std::sin(y);
    const float cz = std::cos(z), sz = std::sin(z);
    const auto rx = simd::float4x4::fromColumns({1, 0, 0, 0}, {0, cx, -sx, 0}, {0, sx, cx, 0}, {0, 0, 0, 1});
    const auto ry = simd::float4x4::fromColumns({cy, 0, sy, 0}, {0, 1, 0, 0}, {-sy, 0, cy, 0}, {0, 0, 0, 1});
    const auto rz = simd::float4x4::fromColumns({cz, -sz, 0, 0}, {sz, cz, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1});
    return rz * ry * rx;
}

} // namespace Mivo

} // namespace MivoKit
