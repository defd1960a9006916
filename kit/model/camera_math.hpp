#pragma once
// The kit's shared matrix builders (column-major, column vectors, right-handed, radians).

#include "platform/simd/simd.hpp"

namespace MivoKit {

// Right-handed rotation by `radians` about `axis` (normalised here). An axis of length zero or
// one that is not finite has no direction: the identity is returned for it.
simd::float4x4 rotationMatrix(float radians, simd::float3 axis);

// Right-handed projection looking down -z that maps view depth -nearZ to 0 and -farZ to 1.
simd::float4x4 perspectiveMatrix(float fovyRadians, float aspectRatio, float nearZ, float farZ);

} // namespace MivoKit
