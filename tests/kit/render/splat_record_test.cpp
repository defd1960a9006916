// The GPU splat record: byte layout and the conversion from stored points, bit by bit.

#include "kit/render/splat.hpp"
#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace MivoKit;

using platform::gpu::floatToHalf;
using platform::gpu::halfToFloat;
using Color = SplatScenePoint::Color;
using Opacity = SplatScenePoint::Opacity;
using Scale = SplatScenePoint::Scale;

namespace {

SplatScenePoint makePoint(Color color, Opacity opacity = Opacity::LinearFloat{1},
                          Scale scale = Scale::LinearFloat{1, 1, 1}, simd::quatf rotation = {}) {
    SplatScenePoint p;
    p.position = {1.5f, -2.25f, 3.0f};
    p.color = std::move(color);
    p.opacity = opacity;
    p.scale = scale;
    p.rotation = rotation;
    return p;
}

std::vector<std::uint16_t> halves(std::initializer_list<float> values) {
    std::vector<std::uint16_t> out;
    for (float v : values) out.push_back(floatToHalf(v));
    return out;
}

std::vector<std::uint16_t> colorOf(const Splat& s) { return {s.color.r, s.color.g, s.color.b, s.color.a}; }
std::vector<std::uint16_t> covOf(const Splat& s) {
    return {s.covA.x, s.covA.y, s.covA.z, s.covB.x, s.covB.y, s.covB.z};
}
std::vector<std::uint16_t> srOf(const Splat& s) {
    return {s.sr.f0, s.sr.f1, s.sr.f2, s.sr.f3, s.sr.f4, s.sr.f5, s.sr.f6, s.sr.f7};
}

TEST(SplatRecord, BytesSitAtTheirOffsetsLittleEndian) {
    const Splat s(makePoint(Color::LinearUInt8{255, 0, 128}), ColorFormat::RGB);
    std::vector<Splat> array(3, s);
    ASSERT_EQ(array.size() * sizeof(Splat), 3u * 52u);
    unsigned char bytes[52];
    std::memcpy(bytes, &array[1], 52);
    float x;
    std::memcpy(&x, bytes + 4, 4);
    EXPECT_EQ(x, -2.25f);
    // color.r = half(1.0) = 0x3c00 at offset 12, little-endian.
    EXPECT_EQ(bytes[12], 0x00);
    EXPECT_EQ(bytes[13], 0x3c);
    // alpha at 48 repeats color.a at 18.
    EXPECT_EQ(bytes[48], bytes[18]);
    EXPECT_EQ(bytes[49], bytes[19]);
}

TEST(SplatRecord, LinearBytesKeepTheirValuesWithRGBAndAreRaisedWithSRGB) {
    const auto point = makePoint(Color::LinearUInt8{255, 0, 128}, Opacity::LinearUInt8{255});
    const Splat rgb(point, ColorFormat::RGB);
    EXPECT_EQ(colorOf(rgb), halves({1.0f, 0.0f, 128 / 255.0f, 1.0f}));
    EXPECT_EQ(rgb.alpha, floatToHalf(1.0f));
    EXPECT_EQ(srOf(rgb), halves({1.0f, 0.0f, 128 / 255.0f, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rgb.position.x, 1.5f);

    const Splat srgb(point, ColorFormat::SRGB);
    const float b = std::pow(128 / 255.0f, 2.2f);
    EXPECT_NEAR(b, 0.2195f, 1e-4);
    EXPECT_EQ(colorOf(srgb), halves({1.0f, 0.0f, b, 1.0f}));
    EXPECT_EQ(srOf(srgb), halves({1.0f, 0.0f, b, 0, 0, 0, 0, 0}));
}

TEST(SplatRecord, CovarianceFromScaleAndRotation) {
    // A zero quaternion stands for the identity.
    const Splat zero(makePoint(Color::LinearUInt8{}, Opacity::LinearFloat{1}, Scale::LinearFloat{1, 2, 3},
                               simd::quatf{0, 0, 0, 0}),
                     ColorFormat::RGB);
    EXPECT_EQ(covOf(zero), halves({1, 0, 0, 4, 0, 9}));

    const Splat unit(makePoint(Color::LinearUInt8{}, Opacity::LinearFloat{1}, Scale::Exponent{0, 0, 0}),
                     ColorFormat::RGB);
    EXPECT_EQ(covOf(unit), halves({1, 0, 0, 1, 0, 1}));

    // A quarter turn about z (unnormalised) swaps the x and y extents.
    const float h = std::sqrt(0.5f);
    const Splat turned(makePoint(Color::LinearUInt8{}, Opacity::LinearFloat{1}, Scale::LinearFloat{1, 2, 3},
                                 simd::quatf{0, 0, 2 * h, 2 * h}),
                       ColorFormat::RGB);
    const auto cov = covOf(turned);
    EXPECT_NEAR(halfToFloat(cov[0]), 4.0f, 4e-3);
    EXPECT_NEAR(halfToFloat(cov[1]), 0.0f, 1e-3);
    EXPECT_NEAR(halfToFloat(cov[3]), 1.0f, 1e-3);
    EXPECT_EQ(cov[5], floatToHalf(9.0f));
}

TEST(SplatRecord, HarmonicLogitAndSuperResolutionEncodings) {
    const Splat clamped(makePoint(Color::SphericalHarmonic{-10, 10, 0, std::vector<float>{5, 5, 5}},
                                  Opacity::LogitFloat{0}),
                        ColorFormat::RGB);
    EXPECT_EQ(colorOf(clamped), halves({0.0f, 1.0f, 0.5f, 0.5f}));

    const float features[8] = {0.2f, 1.7f, -0.3f, 4, 5, 6, 7, 8};
    const Splat sr(makePoint(Color::SuperResolution(features)), ColorFormat::RGB);
    EXPECT_EQ(colorOf(sr), halves({0.2f, 1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(srOf(sr), halves({0.2f, 1.7f, -0.3f, 4, 5, 6, 7, 8}));

    // A shorter feature list reads the missing features as 0.
    const float three[3] = {0.5f, 0.25f, 2.0f};
    const Splat shortList(makePoint(Color::SuperResolution(three)), ColorFormat::RGB);
    EXPECT_EQ(srOf(shortList), halves({0.5f, 0.25f, 2.0f, 0, 0, 0, 0, 0}));
}

TEST(SplatRecord, ValuesAreNotCheckedAndOverflowToHalfInfinity) {
    const Splat big(makePoint(Color::LinearFloat256{255 * 70000.0f, 0, 0}, Opacity::LinearFloat{0.5f},
                              Scale::LinearFloat{300, 1, 1}),
                    ColorFormat::RGB);
    EXPECT_EQ(big.color.r, 0x7c00);  // 70000 is past the largest half
    EXPECT_EQ(big.covA.x, 0x7c00);   // 90000 too
    EXPECT_EQ(big.sr.f0, 0x7c00);
}

} // namespace
