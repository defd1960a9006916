#pragma once
// One Gaussian splat as stored in a scene file. A point keeps the encoding of the file it came from
// (logit or linear opacity, log or linear scale, several colour encodings); the conversions below
// say how every consumer turns them into linear values.

#include "platform/simd/simd.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace MivoKit {

// The zero-order spherical-harmonic basis value 1 / (2 sqrt(pi)) as a 32-bit float.
inline constexpr float kSphericalHarmonicDC = 0.282094806f;

namespace splat_scene_point_cases {

// A read-only view of a point's higher-order coefficients; equal to any float range holding the
// same values.
struct CoefficientView : std::span<const float> {
    using span::span;
    friend bool operator==(CoefficientView a, std::span<const float> b) { return std::ranges::equal(a, b); }
};

// Zero-order terms for red, green, blue, then the higher-order coefficients as read. The
// coefficients are immutable and shared between copies, so copying a point never copies them.
// A reader keeps the coefficients of many points in one block that `higherOrder` points into (the
// shared_ptr aliasing constructor): reading allocates nothing per point, and the block lives as
// long as any point that refers to it.
struct SphericalHarmonic {
    float r = 0, g = 0, b = 0;
    std::uint32_t higherOrderCount = 0;
    std::shared_ptr<const float> higherOrder; // the first of higherOrderCount floats

    SphericalHarmonic() = default;
    // Keeps the coefficients in a block of their own.
    SphericalHarmonic(float r, float g, float b, std::vector<float> coefficients);
    SphericalHarmonic(float r, float g, float b, std::shared_ptr<const float> coefficients, std::uint32_t count)
        : r(r), g(g), b(b), higherOrderCount(count), higherOrder(std::move(coefficients)) {}
    // The higher-order coefficients (empty when none).
    CoefficientView coefficients() const { return {higherOrder.get(), higherOrderCount}; }
};

struct FirstOrderSphericalHarmonic {
    float r = 0, g = 0, b = 0;
};

// Channels on a 0 to 255 scale.
struct LinearFloat256 {
    float r = 0, g = 0, b = 0;
};

struct LinearUInt8Color {
    std::uint8_t r = 0, g = 0, b = 0;
};

// The super-resolution feature vector. Files carry eight features; a shorter list leaves the
// missing features at 0, and features past the eighth are not kept.
struct SuperResolution {
    static constexpr std::size_t capacity = 8;
    std::array<float, capacity> features{};
    std::uint8_t count = 0;

    SuperResolution() = default;
    explicit SuperResolution(std::span<const float> values);
    std::span<const float> values() const { return {features.data(), count}; }
};

struct LogitFloat {
    float value = 0;
};
struct LinearFloatOpacity {
    float value = 0;
};
struct LinearUInt8Opacity {
    std::uint8_t value = 0;
};

// Natural logarithms of the three axis scales.
struct Exponent {
    float x = 0, y = 0, z = 0;
};
struct LinearFloatScale {
    float x = 0, y = 0, z = 0;
};

} // namespace splat_scene_point_cases

struct alignas(64) SplatScenePoint {
    // Colour in one of five encodings, in this order.
    struct Color : std::variant<splat_scene_point_cases::SphericalHarmonic,
                                splat_scene_point_cases::FirstOrderSphericalHarmonic,
                                splat_scene_point_cases::LinearFloat256,
                                splat_scene_point_cases::LinearUInt8Color,
                                splat_scene_point_cases::SuperResolution> {
        using SphericalHarmonic = splat_scene_point_cases::SphericalHarmonic;
        using FirstOrderSphericalHarmonic = splat_scene_point_cases::FirstOrderSphericalHarmonic;
        using LinearFloat256 = splat_scene_point_cases::LinearFloat256;
        using LinearUInt8 = splat_scene_point_cases::LinearUInt8Color;
        using SuperResolution = splat_scene_point_cases::SuperResolution;
        using variant::variant;

        // Linear RGB in 0 to 1: clamp(0.5 + SH_DC * dc) for both harmonic cases, value / 255 for the
        // two linear cases (not clamped), the first three features clamped for super-resolution.
        simd::float3 linearRGB() const;
    };

    // Opacity in one of three encodings, in this order.
    struct Opacity : std::variant<splat_scene_point_cases::LogitFloat,
                                  splat_scene_point_cases::LinearFloatOpacity,
                                  splat_scene_point_cases::LinearUInt8Opacity> {
        using LogitFloat = splat_scene_point_cases::LogitFloat;
        using LinearFloat = splat_scene_point_cases::LinearFloatOpacity;
        using LinearUInt8 = splat_scene_point_cases::LinearUInt8Opacity;
        using variant::variant;

        // 1 / (1 + e^-x) for the logit, the value as is, or value / 255.
        float linear() const;
    };

    // Per-axis extent in one of two encodings, in this order.
    struct Scale : std::variant<splat_scene_point_cases::Exponent, splat_scene_point_cases::LinearFloatScale> {
        using Exponent = splat_scene_point_cases::Exponent;
        using LinearFloat = splat_scene_point_cases::LinearFloatScale;
        using variant::variant;

        // e^value per axis, or the values as they are.
        simd::float3 linear() const;
    };

    // The fields a posed frame rewrites for every splat (position, scale, rotation) come first and
    // the point is aligned to a cache line, so posing touches one line per point rather than two.
    simd::float3 position;
    simd::quatf rotation; // as read; consumers normalise it (length zero means identity)
    Scale scale;
    Opacity opacity;
    std::optional<float> binding; // index of the head-mesh triangle, carried as a float
    std::optional<simd::float3> normal;
    Color color;

    SplatScenePoint() = default;
    SplatScenePoint(simd::float3 position, std::optional<simd::float3> normal, Color color, Opacity opacity,
                    Scale scale, simd::quatf rotation, std::optional<float> binding)
        : position(position), rotation(rotation), scale(scale), opacity(opacity), binding(binding), normal(normal),
          color(std::move(color)) {}
};

} // namespace MivoKit
