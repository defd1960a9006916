#pragma once
// The view transform through which a character is drawn.

#include "platform/simd/simd.hpp"

namespace MivoKit {

namespace Mivo {

struct Transform {
    simd::float4x4 translation = simd::float4x4::identity();
    simd::float4x4 rotation = simd::float4x4::identity();
    float fovyRadians = 0;

    Transform() = default;
    Transform(const simd::float4x4& translation, const simd::float4x4& rotation, float fovyRadians)
        : translation(translation), rotation(rotation), fovyRadians(fovyRadians) {}

    // rotation = rotationMatrix(radians, axis).
    void updateRotation(float radians, simd::float3 axis);
    // A new transform: the translation (tx, ty, tz) applied after this one's translation (so
    // applying camera settings twice adds them), a fresh rotation about y and the given field of view.
    Transform transform(float rotation, float fovyRadians, float translationX, float translationY,
                        float translationZ) const;
    // rotation = eulerRotationMatrix(x, y, z) * rotation.
    void rotate(float x, float y, float z);
    void rotate(const simd::float4x4& rotation);

    // Rz * Ry * Rx, each factor turning by the negated angle (the opposite way to rotationMatrix).
    static simd::float4x4 eulerRotationMatrix(float x, float y, float z);
};

} // namespace Mivo

} // namespace MivoKit
