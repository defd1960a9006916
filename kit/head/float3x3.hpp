#pragma once
// A 3x3 single-precision matrix, stored by rows: m[row][column]. Acts on column vectors.

#include "platform/simd/simd.hpp"

#include <array>

namespace MivoKit {

struct Float3x3 {
    std::array<std::array<float, 3>, 3> m{};

    static Float3x3 identity() { return {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}}; }
    // The matrix whose columns are a, b and c.
    static Float3x3 fromColumns(simd::float3 a, simd::float3 b, simd::float3 c) {
        return {{{{a.x, b.x, c.x}, {a.y, b.y, c.y}, {a.z, b.z, c.z}}}};
    }
    float operator()(int row, int column) const { return m[row][column]; }
    friend bool operator==(const Float3x3&, const Float3x3&) = default;
};

inline simd::float3 operator*(const Float3x3& a, simd::float3 v) {
    return {a.m[0][0] * v.x + a.m[0][1] * v.y + a.m[0][2] * v.z, a.m[1][0] * v.x + a.m[1][1] * v.y + a.m[1][2] * v.z,
            a.m[2][0] * v.x + a.m[2][1] * v.y + a.m[2][2] * v.z};
}

inline Float3x3 operator*(const Float3x3& a, const Float3x3& b) {
    Float3x3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
    return r;
}

} // namespace MivoKit
