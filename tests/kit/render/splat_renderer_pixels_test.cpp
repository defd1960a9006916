// Rendered pixels of the direct renderer, checked against the Gaussian they should show.

#include "render_fixture.hpp"

#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>

using namespace MivoKit;

using namespace rendertest;

namespace {

float viaHalf(float v) { return halfToFloat(floatToHalf(v)); }

int toByte(float v) { return static_cast<int>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f); }

struct PixelScene : ::testing::Test {
    static constexpr std::uint32_t kSize = 63; // odd: the image centre is a pixel centre
    std::shared_ptr<SoftwareDevice> device = makeDevice();
    std::shared_ptr<Texture> target = makeTarget(*device, kSize, kSize);
    SplatRenderer renderer{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3};
    ViewportDescriptor view = cameraView(kSize, kSize, 2.0f);

    Image render() {
        renderFrame(renderer, {view}, target);
        return readImage(*target);
    }
};

TEST_F(PixelScene, SingleSplatShowsItsColourAtTheCentreAndFallsOffSymmetrically) {
    renderer.setClearColor({0, 0, 0, 0});
    renderer.add(point({0, 0, 0}, {1, 0.5f, 0.25f}, 0.8f, {0.1f, 0.1f, 0.1f}));
    // add() reads colours as sRGB; replace with the colours as they are.
    SplatMemoryBuffer frame;
    frame.points = {point({0, 0, 0}, {1, 0.5f, 0.25f}, 0.8f, {0.1f, 0.1f, 0.1f})};
    renderer.update(frame);
    const Image image = render();

    const float opacity = viaHalf(0.8f);
    const float focal = view.projectionMatrix.columns[0].x * kSize * 0.5f;
    const float sigma2 = viaHalf(0.01f) * (focal / 2.0f) * (focal / 2.0f) + 0.3f;
    const int c = kSize / 2;
    auto expected = [&](float k) {
        const float alpha = std::min(0.99f, opacity * std::exp(-0.5f * k * k / sigma2));
        if (alpha < 1.0f / 255.0f || k > 3.0f * std::sqrt(sigma2)) return std::array<int, 4>{0, 0, 0, 0};
        return std::array<int, 4>{toByte(alpha), toByte(0.5f * alpha), toByte(0.25f * alpha), toByte(alpha)};
    };
    EXPECT_EQ(image.rgba(c, c), expected(0));
    for (int k = 1; k < c; ++k) {
        const auto right = image.rgba(c + k, c);
        EXPECT_EQ(image.rgba(c - k, c), right) << k;
        EXPECT_EQ(image.rgba(c, c + k), right) << k;
        EXPECT_EQ(image.rgba(c, c - k), right) << k;
        const auto want = expected(float(k));
        for (int ch = 0; ch < 4; ++ch) EXPECT_NEAR(right[ch], want[ch], 1) << "offset " << k << " channel " << ch;
    }
    EXPECT_EQ(image.rgba(0, 0), (std::array<int, 4>{0, 0, 0, 0}));
}

TEST_F(PixelScene, NearerSplatIsBlendedOverFartherOneWhateverTheirOrderAndClearColourShowsElsewhere) {
    SplatMemoryBuffer frame;
    // The nearer (red) splat comes first: drawn in array order it would end up underneath.
    frame.points = {point({0, 0, 0.5f}, {1, 0, 0}, 0.8f, {0.1f, 0.1f, 0.1f}),
                    point({0, 0, -0.5f}, {0, 0, 1}, 0.8f, {0.1f, 0.1f, 0.1f})};
    renderer.update(frame);
    renderer.setClearColor({0, 0, 0, 0});
    const Image image = render();
    const float a = viaHalf(0.8f);
    const auto centre = image.rgba(kSize / 2, kSize / 2);
    EXPECT_NEAR(centre[0], toByte(a), 1);
    EXPECT_EQ(centre[1], 0);
    EXPECT_NEAR(centre[2], toByte(a * (1 - a)), 1);
    EXPECT_NEAR(centre[3], toByte(a + a * (1 - a)), 1);

    renderer.setClearColor({1, 1, 1, 1});
    const Image white = render();
    EXPECT_EQ(white.rgba(0, 0), (std::array<int, 4>{255, 255, 255, 255}));
    EXPECT_EQ(white.rgba(kSize - 1, kSize - 1), (std::array<int, 4>{255, 255, 255, 255}));
}

TEST_F(PixelScene, CameraWithoutFieldOfViewOrSizeDrawsOnlyTheClearColour) {
    renderer.add(point({0, 0, 0}, {1, 0, 0}, 1.0f, {0.3f, 0.3f, 0.3f}));
    renderer.setClearColor({0, 1, 0, 1});
    const std::array<int, 4> green{0, 255, 0, 255};

    view = cameraView(kSize, kSize, 2.0f, 0.0f); // first frames: no transform yet
    Image image = render();
    for (std::uint32_t y = 0; y < kSize; y += 7)
        for (std::uint32_t x = 0; x < kSize; x += 7) ASSERT_EQ(image.rgba(x, y), green);

    view = cameraView(kSize, kSize, 2.0f);
    view.viewport.width = view.viewport.height = 0; // an empty drawable
    view.screenSize = {0, 0};
    view.projectionMatrix = perspectiveMatrix(0.8f, 0.0f / 0.0f, 0.01f, 100.0f);
    image = render();
    EXPECT_EQ(image.rgba(kSize / 2, kSize / 2), green);
}

TEST(SplatRendererImages, DoNotDependOnTheThreadCount) {
    const auto points = randomCloud(3000, 7);
    for (bool fused : {true, false}) {
        const Image one = renderCloud(1, fused, points, 101, 77);
        const Image eight = renderCloud(8, fused, points, 101, 77);
        EXPECT_TRUE(one == eight) << (fused ? "fused path" : "generic path");
    }
}

// Largest and mean difference between two images, per byte.
std::pair<int, double> difference(const Image& a, const Image& b) {
    int worst = 0;
    double total = 0;
    for (std::size_t i = 0; i < a.bgra.size(); ++i) {
        const int d = std::abs(int(a.bgra[i]) - int(b.bgra[i]));
        worst = std::max(worst, d);
        total += d;
    }
    return {worst, total / a.bgra.size()};
}

TEST(SplatRendererImages, OpaqueTilesComposedFrontToBackMatchBackToFrontBlending) {
    // Hundreds of nearly opaque layers: the fused path stops early on tiles that no longer let
    // light through; the generic path blends every fragment back to front.
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> pos(-0.25f, 0.25f), unit(0, 1);
    SplatPointList points;
    for (int i = 0; i < 600; ++i)
        points.push_back(point({pos(rng), pos(rng), pos(rng)}, {unit(rng), unit(rng), unit(rng)}, 0.97f,
                               {0.3f, 0.3f, 0.3f}));
    const auto [worst, mean] = difference(renderCloud(4, true, points, 64, 48), renderCloud(4, false, points, 64, 48));
    EXPECT_LE(worst, 2);
    EXPECT_LT(mean, 0.2);
}

TEST(SplatRendererImages, FusedPathMatchesTheGenericShaderPath) {
    const auto points = randomCloud(400, 11);
    const Image fused = renderCloud(4, true, points, 90, 70);
    const Image generic = renderCloud(4, false, points, 90, 70);
    // Both evaluate the same Gaussian; they differ only in float rounding, and where a pixel
    // centre falls exactly on a footprint's edge.
    const auto [worst, mean] = difference(fused, generic);
    EXPECT_LE(worst, 3);
    EXPECT_LT(mean, 0.05);
    // The scene is not blank: enough pixels differ from the clear colour.
    int drawn = 0;
    for (std::size_t i = 0; i < fused.bgra.size(); i += 4) drawn += fused.bgra[i] != 255 || fused.bgra[i + 1] != 255;
    EXPECT_GT(drawn, 500);
}

} // namespace
