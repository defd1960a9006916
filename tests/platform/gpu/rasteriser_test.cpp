// The reference triangle path: fill rules, the viewport, culling, depth, load and store actions,
// amplification, and thread-count independence.

#include "gpu_test_shaders.hpp"

#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace MivoKit;

using namespace gputest;

namespace {

struct Raster : ::testing::Test {
    static constexpr std::uint32_t kW = 40, kH = 24;
    std::shared_ptr<SoftwareDevice> device = std::make_shared<SoftwareDevice>(SoftwareDeviceDescriptor{});
    std::shared_ptr<Library> library = testLibrary(*device);
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();

    std::shared_ptr<Texture> texture(PixelFormat format, std::uint32_t slices = 1) {
        TextureDescriptor d;
        d.pixelFormat = format;
        d.width = kW;
        d.height = kH;
        d.arrayLength = slices;
        return device->makeTexture(d);
    }

    // Additive (one, one) blending into a float target counts how often each pixel is covered.
    std::shared_ptr<RenderPipelineState> pipeline(PixelFormat format, bool additive,
                                                  PixelFormat depth = PixelFormat::invalid) {
        RenderPipelineDescriptor d;
        d.vertexFunction = library->makeFunction("flatVertex");
        d.fragmentFunction = library->makeFunction("flatFragment");
        d.colorAttachments[0].pixelFormat = format;
        d.colorAttachments[0].blendingEnabled = additive;
        d.colorAttachments[0].destinationRGBBlendFactor = BlendFactor::one;
        d.colorAttachments[0].destinationAlphaBlendFactor = BlendFactor::one;
        d.depthAttachmentPixelFormat = depth;
        d.maxVertexAmplificationCount = 2;
        return device->makeRenderPipelineState(d);
    }

    // Window pixel position to clip space for a full-target viewport.
    static simd::float4 at(float x, float y, float z = 0.5f) {
        return {x / kW * 2 - 1, 1 - y / kH * 2, z, 1};
    }

    struct Draw {
        std::vector<simd::float4> vertices;
        std::vector<simd::float4> colors{{1, 1, 1, 1}};
        PrimitiveType type = PrimitiveType::triangle;
    };

    void run(const std::shared_ptr<Texture>& target, const std::shared_ptr<RenderPipelineState>& state,
             const std::vector<Draw>& draws, LoadAction load = LoadAction::clear,
             std::shared_ptr<Texture> depth = nullptr, std::shared_ptr<DepthStencilState> depthState = nullptr,
             std::vector<Viewport> viewports = {}, std::uint32_t amplification = 1, std::uint32_t layers = 0,
             StoreAction store = StoreAction::store) {
        RenderPassDescriptor pass;
        pass.colorAttachments[0] = {target, load, store, ClearColor{0, 0, 0, 0}};
        pass.renderTargetArrayLength = layers;
        if (depth) pass.depthAttachment = {depth, LoadAction::clear, StoreAction::store, 1.0};
        auto cb = queue->makeCommandBuffer();
        auto e = cb->makeRenderCommandEncoder(pass);
        e->setRenderPipelineState(state);
        if (depthState) e->setDepthStencilState(depthState);
        if (!viewports.empty()) e->setViewports(viewports);
        if (amplification > 1) {
            std::vector<VertexAmplificationViewMapping> maps;
            for (std::uint32_t i = 0; i < amplification; ++i) maps.push_back({i, i});
            e->setVertexAmplificationCount(amplification, maps);
        }
        for (const auto& d : draws) {
            e->setVertexBuffer(bufferOf(*device, d.vertices), 0, 0);
            e->setVertexBuffer(bufferOf(*device, d.colors), 0, 1);
            e->drawPrimitives(d.type, 0, std::uint32_t(d.vertices.size()), std::uint32_t(d.colors.size()));
        }
        e->endEncoding();
        cb->commit();
        cb->waitUntilCompleted();
    }

    // Red channel of a float target.
    static float red(const Texture& t, std::uint32_t x, std::uint32_t y, std::uint32_t slice = 0) {
        return t.read(x, y, slice).x;
    }
};

TEST_F(Raster, PixelCentresAndTheTopLeftRuleCoverEachPixelOfAQuadOnce) {
    auto target = texture(PixelFormat::rgba16Float);
    // Edges exactly through pixel centres: x = 2.5 and 6.5, y = 1.5 and 4.5.
    run(target, pipeline(PixelFormat::rgba16Float, true),
        {{{at(2.5f, 1.5f), at(6.5f, 1.5f), at(2.5f, 4.5f), at(6.5f, 4.5f)}, {{1, 1, 1, 1}}, PrimitiveType::triangleStrip}});
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) {
            const bool inside = x >= 2 && x <= 5 && y >= 1 && y <= 3; // left and top edges in, right and bottom out
            ASSERT_EQ(red(*target, x, y), inside ? 1.0f : 0.0f) << x << "," << y;
        }
}

// Thousands of instances of one quad over several tiles: binning splits them into chunks of
// slots, and every tile must still draw them in order, so the last instance's colour stays.
TEST_F(Raster, ManyInstancesOverSeveralTilesKeepTheirDrawOrder) {
    auto target = texture(PixelFormat::bgra8Unorm);
    std::vector<simd::float4> colors;
    for (int i = 0; i < 9000; ++i) colors.push_back({float(i % 256) / 255, float(i / 256) / 255, 0.5f, 1});
    run(target, pipeline(PixelFormat::bgra8Unorm, false),
        {{{at(1, 1), at(39, 1), at(1, 23), at(39, 23)}, colors, PrimitiveType::triangleStrip}});
    std::uint8_t pixel[4];
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) {
            target->getBytes(pixel, 4, {x, y, 1, 1});
            const bool inside = x >= 1 && x < 39 && y >= 1 && y < 23;
            ASSERT_EQ(pixel[2], inside ? 8999 % 256 : 0) << x << "," << y; // bgra
            ASSERT_EQ(pixel[1], inside ? 8999 / 256 : 0) << x << "," << y;
        }
}

TEST_F(Raster, AFanOfTrianglesIsWatertightWithoutOverlap) {
    auto target = texture(PixelFormat::rgba16Float);
    Draw fan;
    const float cx = 19.5f, cy = 11.5f; // the shared vertex sits on a pixel centre
    const int n = 11;
    for (int i = 0; i < n; ++i) {
        const float a0 = 2 * float(M_PI) * i / n + 0.1f, a1 = 2 * float(M_PI) * (i + 1) / n + 0.1f;
        fan.vertices.push_back(at(cx, cy));
        fan.vertices.push_back(at(cx + 15.3f * std::cos(a0), cy + 10.7f * std::sin(a0)));
        fan.vertices.push_back(at(cx + 15.3f * std::cos(a1), cy + 10.7f * std::sin(a1)));
    }
    run(target, pipeline(PixelFormat::rgba16Float, true), {fan});
    int covered = 0;
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) {
            const float c = red(*target, x, y);
            ASSERT_TRUE(c == 0.0f || c == 1.0f) << x << "," << y << " covered " << c;
            const float dx = (x + 0.5f - cx) / 15.3f, dy = (y + 0.5f - cy) / 10.7f;
            if (dx * dx + dy * dy < 0.8f) {
                ASSERT_EQ(c, 1.0f) << "hole at " << x << "," << y;
            }
            covered += c == 1.0f;
        }
    EXPECT_GT(covered, 300);
}

TEST_F(Raster, ViewportsFlipYAndOffset) {
    auto target = texture(PixelFormat::rgba16Float);
    // A triangle in the upper half of clip space lands in the upper rows.
    run(target, pipeline(PixelFormat::rgba16Float, false),
        {{{{-1, 0.2f, 0.5f, 1}, {1, 0.2f, 0.5f, 1}, {0, 1, 0.5f, 1}}}});
    EXPECT_EQ(red(*target, kW / 2, 2), 1.0f);
    EXPECT_EQ(red(*target, kW / 2, kH - 2), 0.0f);

    // A full-screen pair of triangles into an 8x8 viewport at (30, 10) touches only that square.
    run(target, pipeline(PixelFormat::rgba16Float, false),
        {{{{-1, -1, 0.5f, 1}, {1, -1, 0.5f, 1}, {-1, 1, 0.5f, 1}, {1, 1, 0.5f, 1}}, {{1, 1, 1, 1}},
          PrimitiveType::triangleStrip}},
        LoadAction::clear, nullptr, nullptr, {Viewport{30, 10, 8, 8, 0, 1}});
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x)
            ASSERT_EQ(red(*target, x, y), (x >= 30 && x < 38 && y >= 10 && y < 18) ? 1.0f : 0.0f) << x << "," << y;
}

TEST_F(Raster, NonFiniteDegenerateAndBehindTheEyeTrianglesAreCulled) {
    auto target = texture(PixelFormat::rgba16Float);
    const float nan = NAN, inf = INFINITY;
    run(target, pipeline(PixelFormat::rgba16Float, true),
        {{{{nan, 0, 0.5f, 1}, {1, 0, 0.5f, 1}, {0, 1, 0.5f, 1}}},
         {{{-inf, -1, 0.5f, 1}, {inf, -1, 0.5f, 1}, {0, inf, 0.5f, 1}}},
         {{{0, 0, 0.5f, 0}, {1, 0, 0.5f, 0}, {0, 1, 0.5f, 0}}},
         {{{-1, -1, 0.5f, -1}, {1, -1, 0.5f, 1}, {0, 1, 0.5f, 1}}},
         {{{-1, -1, 0.5f, 1}, {0, 0, 0.5f, 1}, {1, 1, 0.5f, 1}}},          // zero area
         {{{-1e30f, -1, 0.5f, 1}, {1e30f, -1, 0.5f, 1}, {0, 1e30f, 0.5f, 1}}}}); // far past any integer
    // Only the enormous but finite triangle is drawn: it covers every pixel exactly once.
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) ASSERT_EQ(red(*target, x, y), 1.0f) << x << "," << y;
}

TEST_F(Raster, DepthTestKeepsTheNearerTriangleInEitherOrder) {
    auto target = texture(PixelFormat::bgra8Unorm);
    auto depth = texture(PixelFormat::depth32Float);
    auto state = pipeline(PixelFormat::bgra8Unorm, false, PixelFormat::depth32Float);
    auto less = device->makeDepthStencilState({"less", CompareFunction::less, true});
    const Draw nearRed{{at(0, 0, 0.2f), at(40, 0, 0.2f), at(0, 24, 0.2f)}, {{1, 0, 0, 1}}};
    const Draw farBlue{{at(0, 0, 0.6f), at(40, 0, 0.6f), at(0, 24, 0.6f)}, {{0, 0, 1, 1}}};
    for (bool nearFirst : {true, false}) {
        run(target, state, nearFirst ? std::vector{nearRed, farBlue} : std::vector{farBlue, nearRed},
            LoadAction::clear, depth, less);
        const simd::float4 c = target->read(2, 2);
        EXPECT_EQ(c.x, 1.0f);
        EXPECT_EQ(c.z, 0.0f);
        EXPECT_FLOAT_EQ(depth->read(2, 2).x, 0.2f);
        EXPECT_FLOAT_EQ(depth->read(39, 23).x, 1.0f); // outside the triangles: the clear depth
    }
}

TEST_F(Raster, LoadAndStoreActions) {
    auto target = texture(PixelFormat::rgba16Float);
    auto state = pipeline(PixelFormat::rgba16Float, true);
    const Draw corner{{at(0, 0), at(8, 0), at(0, 8)}};
    run(target, state, {corner});
    run(target, state, {corner}, LoadAction::load);
    EXPECT_EQ(red(*target, 1, 1), 2.0f); // loaded, then added to
    run(target, state, {corner}, LoadAction::clear, nullptr, nullptr, {}, 1, 0, StoreAction::dontCare);
    EXPECT_EQ(red(*target, 1, 1), 2.0f); // not stored
    run(target, state, {}, LoadAction::clear);
    EXPECT_EQ(red(*target, 1, 1), 0.0f); // a pass without draws still clears
}

TEST_F(Raster, AmplifiedViewsGoToTheirViewportAndSlice) {
    auto target = texture(PixelFormat::rgba16Float, 2);
    const Draw full{{{-1, -1, 0.5f, 1}, {1, -1, 0.5f, 1}, {-1, 1, 0.5f, 1}, {1, 1, 0.5f, 1}},
                    {{1, 1, 1, 1}},
                    PrimitiveType::triangleStrip};
    run(target, pipeline(PixelFormat::rgba16Float, true), {full}, LoadAction::clear, nullptr, nullptr,
        {Viewport{0, 0, 10, 10, 0, 1}, Viewport{20, 10, 10, 10, 0, 1}}, 2, 2);
    EXPECT_EQ(red(*target, 5, 5, 0), 1.0f);
    EXPECT_EQ(red(*target, 25, 15, 0), 0.0f);
    EXPECT_EQ(red(*target, 25, 15, 1), 1.0f);
    EXPECT_EQ(red(*target, 5, 5, 1), 0.0f);
}

TEST(RasterThreads, ImagesAreIdenticalWithOneAndEightThreads) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(-1.2f, 1.2f), unit(0, 1);
    std::vector<simd::float4> vertices, colors;
    for (int i = 0; i < 600; ++i) vertices.push_back({coord(rng), coord(rng), unit(rng), 1});
    for (int i = 0; i < 3; ++i) colors.push_back({unit(rng), unit(rng), unit(rng), unit(rng)});
    std::vector<std::vector<std::uint8_t>> images;
    for (unsigned threads : {1u, 8u}) {
        auto device = std::make_shared<SoftwareDevice>(SoftwareDeviceDescriptor{1u << 30, threads, true});
        auto library = testLibrary(*device);
        RenderPipelineDescriptor d;
        d.vertexFunction = library->makeFunction("flatVertex");
        d.fragmentFunction = library->makeFunction("flatFragment");
        d.colorAttachments[0] = {PixelFormat::bgra8Unorm, true, BlendOperation::add, BlendOperation::add,
                                 BlendFactor::sourceAlpha, BlendFactor::one, BlendFactor::oneMinusSourceAlpha,
                                 BlendFactor::oneMinusSourceAlpha};
        TextureDescriptor td;
        td.width = 123;
        td.height = 77;
        auto target = device->makeTexture(td);
        RenderPassDescriptor pass;
        pass.colorAttachments[0] = {target, LoadAction::clear, StoreAction::store, ClearColor{0.2, 0.3, 0.4, 1}};
        auto cb = device->makeCommandQueue()->makeCommandBuffer();
        auto e = cb->makeRenderCommandEncoder(pass);
        e->setRenderPipelineState(device->makeRenderPipelineState(d));
        e->setVertexBuffer(bufferOf(*device, vertices), 0, 0);
        e->setVertexBuffer(bufferOf(*device, colors), 0, 1);
        e->drawPrimitives(PrimitiveType::triangle, 0, 600, 3);
        e->endEncoding();
        cb->commit();
        cb->waitUntilCompleted();
        std::vector<std::uint8_t> bytes(123 * 77 * 4);
        target->getBytes(bytes.data(), 123 * 4, {0, 0, 123, 77});
        images.push_back(bytes);
    }
    EXPECT_TRUE(images[0] == images[1]);
}

} // namespace
