// Binning by a primitive's ellipse: a thin, slanted footprint reaches only the tiles along it, and
// never loses one it reaches.

#include "gpu_test_shaders.hpp"

#include "platform/gpu/footprint.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <random>
#include <set>

using namespace MivoKit;

using namespace gputest;

namespace {

// An ellipse centred at (cx, cy) with semi-axes `major` and `minor` pixels, the major at `angle`,
// as a WindowBounds: its bounding box and its form.
WindowBounds ellipseBounds(float cx, float cy, float major, float minor, float angle) {
    const double c = std::cos(angle), s = std::sin(angle), a2 = double(major) * major, b2 = double(minor) * minor;
    WindowBounds b;
    const double ex = std::sqrt(a2 * c * c + b2 * s * s), ey = std::sqrt(a2 * s * s + b2 * c * c);
    b.minX = float(cx - ex), b.maxX = float(cx + ex), b.minY = float(cy - ey), b.maxY = float(cy + ey);
    b.centreX = cx, b.centreY = cy;
    b.qxx = float(c * c / a2 + s * s / b2);
    b.qxy = float(c * s * (1 / a2 - 1 / b2));
    b.qyy = float(s * s / a2 + c * c / b2);
    return b;
}

double form(const WindowBounds& b, double x, double y) {
    const double dx = x - b.centreX, dy = y - b.centreY;
    return b.qxx * dx * dx + 2 * b.qxy * dx * dy + b.qyy * dy * dy;
}

TEST(EllipseRows, EveryBandHoldsTheEllipseWithinASixteenthOfAPixel) {
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> centre(-20, 120), major(0.3f, 90), thin(0.01f, 1), angle(0, 6.3f),
        band(-40, 160), height(0, 20);
    for (int trial = 0; trial < 500; ++trial) {
        // One draw per statement: argument evaluation order differs between compilers.
        const float a = major(rng);
        const float cx = centre(rng), cy = centre(rng);
        const float minor = std::max(0.2f, a * thin(rng));
        const float turn = angle(rng);
        const WindowBounds b = ellipseBounds(cx, cy, a, minor, turn);
        const EllipseRows rows(b);
        const float yLo = band(rng), yHi = yLo + height(rng);
        float xLo = 0, xHi = 0;
        const bool any = rows.columns(yLo, yHi, xLo, xHi);
        // The ellipse's points in rows y0..y1, sampled finely: their x range.
        const auto seen = [&](double y0, double y1, double& lo, double& hi) {
            lo = INFINITY, hi = -INFINITY;
            for (int i = 0; i <= 400; ++i) {
                const double y = y0 + (y1 - y0) * i / 400.0;
                const double dy = y - b.centreY, disc = b.qxx - (double(b.qxx) * b.qyy - double(b.qxy) * b.qxy) * dy * dy;
                if (disc < 0) continue;
                lo = std::min(lo, b.centreX + (-b.qxy * dy - std::sqrt(disc)) / b.qxx);
                hi = std::max(hi, b.centreX + (-b.qxy * dy + std::sqrt(disc)) / b.qxx);
            }
        };
        double seenLo, seenHi, widenedLo, widenedHi;
        seen(yLo, yHi, seenLo, seenHi);
        if (seenLo > seenHi) continue; // the band misses the ellipse (or the slack reaches it)
        ASSERT_TRUE(any) << trial;
        EXPECT_LE(xLo, seenLo) << trial;
        EXPECT_GE(xHi, seenHi) << trial;
        // Tight: the ends of the range are the ellipse's own over the band widened by the 1/16
        // pixel of slack (which moves a steep ellipse's ends by its slope over 1/16), to within
        // what sampling finds.
        seen(yLo - 1.0 / 16, yHi + 1.0 / 16, widenedLo, widenedHi);
        EXPECT_GT(xLo, widenedLo - 0.25 - 0.02 * a) << trial;
        EXPECT_LT(xHi, widenedHi + 0.25 + 0.02 * a) << trial;
    }
}

// Records the tiles its primitives are shaded in; the primitive is one ellipse set in the draw.
class RecordingDraw final : public FusedDraw {
public:
    explicit RecordingDraw(WindowBounds bounds) : bounds_(bounds) {}
    std::size_t primitiveBytes() const override { return 4; }
    WindowBounds setup(const DrawContext&, std::uint32_t, std::byte*) const override { return bounds_; }
    void shade(const DrawContext&, const std::byte*, TileTarget& tile, int, int, int, int) const override {
        std::lock_guard lock(mutex_);
        tiles_.insert({tile.originX / kTileSize, tile.originY / kTileSize});
    }
    std::set<std::pair<int, int>> tiles() const {
        std::lock_guard lock(mutex_);
        return tiles_;
    }

private:
    WindowBounds bounds_;
    mutable std::mutex mutex_;
    mutable std::set<std::pair<int, int>> tiles_;
};

std::set<std::pair<int, int>> shadedTiles(const WindowBounds& bounds, std::uint32_t width, std::uint32_t height) {
    auto device = std::make_shared<SoftwareDevice>();
    auto draw = std::make_shared<RecordingDraw>(bounds);
    LibrarySource source;
    source.functions = {{"flatVertex", &flatVertex, 4}, {"flatFragment", &flatFragment, 0}};
    source.fusedDraws = {{"flatVertex", "flatFragment", draw}};
    auto library = device->makeLibrary(std::move(source));
    RenderPipelineDescriptor d;
    d.vertexFunction = library->makeFunction("flatVertex");
    d.fragmentFunction = library->makeFunction("flatFragment");
    d.colorAttachments[0].pixelFormat = PixelFormat::bgra8Unorm;
    TextureDescriptor td;
    td.width = width;
    td.height = height;
    RenderPassDescriptor pass;
    pass.colorAttachments[0] = {device->makeTexture(td), LoadAction::clear, StoreAction::store, ClearColor{}};
    auto cb = device->makeCommandQueue()->makeCommandBuffer();
    auto e = cb->makeRenderCommandEncoder(pass);
    e->setRenderPipelineState(device->makeRenderPipelineState(d));
    e->drawPrimitives(PrimitiveType::triangleStrip, 0, 4, 1);
    e->endEncoding();
    cb->commit();
    cb->waitUntilCompleted();
    return draw->tiles();
}

TEST(EllipseBinning, AThinSlantedFootprintGetsOnlyTheTilesItReaches) {
    constexpr std::uint32_t kW = 300, kH = 220;
    for (const float angle : {0.6f, 2.3f, 1.5708f, 0.05f}) {
        const WindowBounds bounds = ellipseBounds(151.3f, 108.7f, 140.0f, 2.5f, angle);
        const auto shaded = shadedTiles(bounds, kW, kH);
        // Tiles with a pixel centre inside the ellipse must be shaded; tiles whose pixel centres
        // all lie more than a pixel outside it must not.
        std::set<std::pair<int, int>> reached, near;
        for (std::uint32_t y = 0; y < kH; ++y)
            for (std::uint32_t x = 0; x < kW; ++x) {
                const std::pair<int, int> tile{int(x) / kTileSize, int(y) / kTileSize};
                if (form(bounds, x + 0.5, y + 0.5) <= 1.0) reached.insert(tile);
                for (const double ox : {-1.0, 0.0, 1.0})
                    for (const double oy : {-1.0, 0.0, 1.0})
                        if (form(bounds, x + 0.5 + ox, y + 0.5 + oy) <= 1.0) near.insert(tile);
            }
        for (const auto& tile : reached) EXPECT_TRUE(shaded.count(tile)) << "angle " << angle << " lost tile " << tile.first << "," << tile.second;
        for (const auto& tile : shaded) EXPECT_TRUE(near.count(tile)) << "angle " << angle << " extra tile " << tile.first << "," << tile.second;
        // Slanted, its bounding box holds many more tiles.
        const int boxTiles = (int(bounds.maxX) / kTileSize - int(bounds.minX) / kTileSize + 1) *
                             (int(bounds.maxY) / kTileSize - int(bounds.minY) / kTileSize + 1);
        if (std::abs(std::sin(2 * angle)) > 0.5f) {
            EXPECT_LT(shaded.size() * 2, std::size_t(boxTiles)) << angle;
        }
    }
}

TEST(EllipseBinning, WithoutAnEllipseEveryTileOfTheBoxIsShaded) {
    WindowBounds box{20.2f, 5.0f, 70.9f, 60.0f};
    const auto shaded = shadedTiles(box, 100, 80);
    EXPECT_EQ(shaded.size(), std::size_t(4 * 4)); // columns 1-4, rows 0-3
}

} // namespace
