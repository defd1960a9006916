#include "kit/model/splat_scene_point.hpp"

#include "kit/model/overloaded.hpp"

#include <algorithm>
#include <cmath>

namespace MivoKit {

namespace splat_scene_point_cases {

SphericalHarmonic::SphericalHarmonic(float r, float g, float b, std::vector<float> coefficients)
    : r(r), g(g), b(b), higherOrderCount(static_cast<std::uint32_t>(coefficients.size())) {
    if (coefficients.empty()) return;
    auto block = std::make_shared_for_overwrite<float[]>(coefficients.size());
    float* data = block.get();
    std::copy(coefficients.begin(), coefficients.end(), data);
    higherOrder = std::shared_ptr<const float>(std::move(block), data);
}

SuperResolution::SuperResolution(std::span<const float> values) {
    count = static_cast<std::uint8_t>(std::min(values.size(), capacity));
    std::copy_n(values.begin(), count, features.begin());
}

} // namespace splat_scene_point_cases

namespace {

float clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

simd::float3 fromHarmonic(float r, float g, float b) {
    return {clamp01(0.5f + kSphericalHarmonicDC * r), clamp01(0.5f + kSphericalHarmonicDC * g),
            clamp01(0.5f + kSphericalHarmonicDC * b)};
}

} // namespace

simd::float3 SplatScenePoint::Color::linearRGB() const {
    return std::visit(
        Overloaded{
            [](const SphericalHarmonic& c) { return fromHarmonic(c.r, c.g, c.b); },
            [](const FirstOrderSphericalHarmonic& c) { return fromHarmonic(c.r, c.g, c.b); },
            [](const LinearFloat256& c) { return simd::float3{c.r / 255.0f, c.g / 255.0f, c.b / 255.0f}; },
            [](const LinearUInt8& c) { return simd::float3{c.r / 255.0f, c.g / 255.0f, c.b / 255.0f}; },
            [](const SuperResolution& c) {
                return simd::float3{clamp01(c.features[0]), clamp01(c.features[1]), clamp01(c.features[2])};
            },
        },
        static_cast<const variant&>(*this));
}

float SplatScenePoint::Opacity::linear() const {
    return std::visit(Overloaded{
                          [](const LogitFloat& o) { return 1.0f / (1.0f + std::exp(-o.value)); },
                          [](const LinearFloat& o) { return o.value; },
                          [](const LinearUInt8& o) { return o.value / 255.0f; },
                      },
                      static_cast<const variant&>(*this));
}

simd::float3 SplatScenePoint::Scale::linear() const {
    return std::visit(Overloaded{
                          [](const Exponent& s) { return simd::float3{std::exp(s.x), std::exp(s.y), std::exp(s.z)}; },
                          [](const LinearFloat& s) { return simd::float3{s.x, s.y, s.z}; },
                      },
                      static_cast<const variant&>(*this));
}

} // namespace MivoKit
