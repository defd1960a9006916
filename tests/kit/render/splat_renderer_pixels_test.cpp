// Rendered pixels of the direct renderer, checked against the Gaussian they should show.

#include "render_fixture.hpp"

#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/model/character.hpp"
#include "kit/model/transform.hpp"
#include "kit/render/shaders/splat_projection.hpp"
#include "platform/files/directories.hpp"
#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

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

// One posed frame of the synthetic character and its camera's view of width x height pixels.
struct HeadFrame {
    SplatMemoryBuffer splats;
    ViewportDescriptor view;
};

HeadFrame syntheticHead(std::uint32_t width, std::uint32_t height) {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR));
    auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    if (!character) throw std::runtime_error("the synthetic character is missing");
    MvCharacterBufferProvider provider(character->assetPaths(), platform::audio::AudioFormat::standard(16000, 1));
    auto splats = provider.makeSplatBuffer(*character->idleAnimation()->nextFrame(), std::nullopt);
    if (!splats) throw std::runtime_error("no splats for the synthetic character");
    const Mivo::CameraSettings& camera = character->camera();
    const Mivo::Transform transform = Mivo::Transform().transform(camera.rotation, camera.fovyRadians, camera.translationX,
                                                                  camera.translationY, camera.translationZ);
    ViewportDescriptor view;
    view.viewport = {0, 0, double(width), double(height), 0, 1};
    view.projectionMatrix = perspectiveMatrix(transform.fovyRadians, float(width) / float(height), 0.01f, 100.0f);
    view.viewMatrix = simd::inverse(transform.translation) * simd::inverse(transform.rotation);
    view.screenSize = {width, height};
    return {std::move(*splats), view};
}

// The frame as exact arithmetic draws it: every splat, farthest first, blended over the clear
// colour in doubles with nothing left out, where the shaders' footprint puts it (the quad to three
// standard deviations, alpha = min(0.99, opacity * gaussian), fragments under 1/255 dropped).
// Also returns per pixel whether any splat reached it.
Image exactComposition(std::span<const Splat> farthestFirst, const ViewportDescriptor& view, std::array<double, 4> clear,
                       std::vector<bool>& reached) {
    const int w = int(view.screenSize.width), h = int(view.screenSize.height);
    std::vector<std::array<double, 4>> pixels(std::size_t(w) * h, {clear[0] * clear[3], clear[1] * clear[3],
                                                                   clear[2] * clear[3], clear[3]});
    reached.assign(pixels.size(), false);
    Uniforms uniforms;
    uniforms.projectionMatrix = view.projectionMatrix;
    uniforms.viewMatrix = view.viewMatrix;
    uniforms.screenSize = UInt2{std::uint32_t(w), std::uint32_t(h)};
    for (const Splat& splat : farthestFirst) {
        const shaders::SplatFootprint f = shaders::projectSplat(uniforms, splat);
        if (!f.visible) continue;
        const double cx = (double(f.clipCentre.x) / f.clipCentre.w + 1) * 0.5 * w;
        const double cy = (1 - double(f.clipCentre.y) / f.clipCentre.w) * 0.5 * h;
        const double ax = f.axis1x, ay = f.axis1y, bx = f.axis2x, by = f.axis2y, det = ax * by - bx * ay;
        if (det == 0) continue;
        const double ex = std::abs(ax) + std::abs(bx), ey = std::abs(ay) + std::abs(by);
        for (int y = std::max(0, int(std::floor(cy - ey))); y <= std::min(h - 1, int(std::ceil(cy + ey))); ++y)
            for (int x = std::max(0, int(std::floor(cx - ex))); x <= std::min(w - 1, int(std::ceil(cx + ex))); ++x) {
                // d = (u a + v b) / 3: the pixel centre in standard deviations along the axes.
                const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
                const double u = 3 * (by * dx - bx * dy) / det, v = 3 * (ax * dy - ay * dx) / det;
                if (std::abs(u) > 3 || std::abs(v) > 3) continue;
                const double alpha = std::min(0.99, f.opacity * std::exp(-0.5 * (u * u + v * v)));
                if (alpha < 1.0 / 255) continue;
                auto& p = pixels[std::size_t(y) * w + x];
                const double colour[3] = {f.red, f.green, f.blue};
                for (int c = 0; c < 3; ++c) p[c] = std::clamp(colour[c] * alpha, 0.0, 1.0) + (1 - alpha) * p[c];
                p[3] = alpha + (1 - alpha) * p[3];
                reached[std::size_t(y) * w + x] = true;
            }
    }
    Image image{std::uint32_t(w), std::uint32_t(h), std::vector<std::uint8_t>(pixels.size() * 4)};
    for (std::size_t i = 0; i < pixels.size(); ++i)
        for (int c = 0; c < 4; ++c) // stored as BGRA, rounded as the 8-bit store rounds
            image.bgra[i * 4 + (c == 3 ? 3 : 2 - c)] =
                std::uint8_t(int(std::clamp(pixels[i][c], 0.0, 1.0) * 255.0 + 0.5));
    return image;
}

TEST(SplatRendererImages, TheHeadAgreesWithTheExactCompositionToWithin67Decibels) {
    // Pixels stop gathering once nearly opaque; what lies behind them must still move no stored
    // colour by more than rounding does: the peak signal-to-noise ratio over the head's colour
    // values stays at 67 dB or more (0.013 of a level squared on average).
    const HeadFrame head = syntheticHead(345, 399);
    auto device = makeDevice();
    auto target = makeTarget(*device, std::uint32_t(head.view.screenSize.width), std::uint32_t(head.view.screenSize.height));
    SplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
    renderer.update(head.splats);
    renderFrame(renderer, {head.view}, target);
    const Image drawn = readImage(*target);
    const MetalBuffer<Splat>& sorted = *renderer.bufferManager.splatBuffer;
    std::vector<bool> reached;
    const Image exact = exactComposition({sorted.values(), sorted.count}, head.view, {1, 1, 1, 1}, reached);
    double squares = 0;
    std::size_t values = 0;
    for (std::size_t i = 0; i < reached.size(); ++i) {
        if (!reached[i]) continue;
        for (int c = 0; c < 3; ++c) {
            const double d = double(drawn.bgra[i * 4 + c]) - double(exact.bgra[i * 4 + c]);
            squares += d * d;
        }
        values += 3;
    }
    ASSERT_GT(values, 3u * 20000); // the head fills a good part of the view
    const double psnr = 10 * std::log10(255.0 * 255.0 * double(values) / std::max(squares, 1e-9));
    EXPECT_GE(psnr, 67.0) << "mean squared difference " << squares / double(values);
}

} // namespace
