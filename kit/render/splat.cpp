#include "kit/render/splat.hpp"

#include "platform/gpu/half.hpp"

#include <array>
#include <cmath>
#include <variant>

namespace MivoKit {

using platform::gpu::floatToHalf;

PackedSRHalf8::PackedSRHalf8(std::span<const float> features) {
    std::array<float, 8> f{};
    for (std::size_t i = 0; i < f.size() && i < features.size(); ++i) f[i] = features[i];
    f0 = floatToHalf(f[0]), f1 = floatToHalf(f[1]), f2 = floatToHalf(f[2]), f3 = floatToHalf(f[3]);
    f4 = floatToHalf(f[4]), f5 = floatToHalf(f[5]), f6 = floatToHalf(f[6]), f7 = floatToHalf(f[7]);
}

Splat::Splat(const SplatScenePoint& point, ColorFormat colorFormat) {
    const simd::float3 scale = point.scale.linear();
    simd::float3 rgb = point.color.linearRGB();
    const float opacity = point.opacity.linear();
    if (colorFormat == ColorFormat::SRGB) {
        rgb = {std::pow(rgb.x, 2.2f), std::pow(rgb.y, 2.2f), std::pow(rgb.z, 2.2f)};
    }
    const auto* sr = std::get_if<SplatScenePoint::Color::SuperResolution>(&point.color);
    // Super-resolution points always pass all eight features (missing ones read as 0).
    const std::span<const float> features = sr ? std::span<const float>(sr->features) : std::span<const float>();
    *this = Splat(point.position, {rgb.x, rgb.y, rgb.z, opacity}, scale, simd::normalize(point.rotation), features);
}

Splat::Splat(simd::float3 p, simd::float4 c, simd::float3 s, simd::quatf q, std::span<const float> srFeatures) {
    // R from the unit quaternion, M = R * S, covariance = M * M^T.
    const float x = q.x, y = q.y, z = q.z, w = q.w;
    const float r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                           {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                           {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    const float sv[3] = {s.x, s.y, s.z};
    float m[3][3];
    for (int row = 0; row < 3; ++row)
        for (int k = 0; k < 3; ++k) m[row][k] = r[row][k] * sv[k];
    auto sigma = [&](int i, int j) { return m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2]; };

    position = {p.x, p.y, p.z};
    color = {floatToHalf(c.x), floatToHalf(c.y), floatToHalf(c.z), floatToHalf(c.w)};
    alpha = color.a;
    covA = {floatToHalf(sigma(0, 0)), floatToHalf(sigma(0, 1)), floatToHalf(sigma(0, 2))};
    covB = {floatToHalf(sigma(1, 1)), floatToHalf(sigma(1, 2)), floatToHalf(sigma(2, 2))};
    if (srFeatures.empty()) {
        // (r, g, b, 0, 0, 0, 0, 0): the colour's halves, already made, and zeros.
        sr = {};
        sr.f0 = color.r, sr.f1 = color.g, sr.f2 = color.b;
    } else {
        sr = PackedSRHalf8(srFeatures);
    }
}

} // namespace MivoKit
