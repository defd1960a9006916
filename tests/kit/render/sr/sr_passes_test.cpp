// The passes of the super-resolution road and their shaders: the network input and its view, the
// packing and composite kernels, the three feature attachments, and the screen pass's image.

#include "tests/kit/render/sr/sr_test_support.hpp"

#include "kit/render/sr/composite_compute_pass.hpp"
#include "kit/render/sr/gaussian_splat_render_pass.hpp"
#include "kit/render/sr/screen_render_pass.hpp"
#include "kit/render/shader_library.hpp"
#include "kit/render/sr/sr_compute_pass.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

using namespace MivoKit;

using namespace srtest;
using platform::gpu::floatToHalf;
using platform::gpu::halfToFloat;

namespace {

std::shared_ptr<Texture> featureTexture(Device& device, std::uint32_t width, std::uint32_t height) {
    return makeTarget(device, width, height, PixelFormat::rgba16Float);
}

simd::float4 at(const Texture& texture, std::uint32_t x, std::uint32_t y) { return texture.read(x, y); }

void runAndWait(const std::shared_ptr<CommandBuffer>& commandBuffer) {
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
}

TEST(SRInput, ViewsTheRecordsAsEightPlanesAndRefusesABufferTooSmall) {
    auto device = makeDevice();
    MetalBuffer<PackedSRHalf8> input(device, 690 * 798);
    EXPECT_EQ(input.capacity(), 550620u);
    EXPECT_EQ(input.buffer()->length(), 8809920u);
    const auto view = input.makeMultiArray(8, 798, 690);
    EXPECT_EQ(view->shape(), (std::vector<std::int64_t>{8, 798, 690}));
    EXPECT_EQ(view->strides(), (std::vector<std::int64_t>{550620, 690, 1}));
    EXPECT_EQ(view->dataType(), platform::ml::MLMultiArrayDataType::float16);
    EXPECT_EQ(view->dataPointer(), input.buffer()->contents()); // a view, not a copy
    reinterpret_cast<std::uint16_t*>(input.values())[3 * 550620 + 2 * 690 + 5] = floatToHalf(0.75f);
    EXPECT_EQ(view->value({3, 2, 5}), 0.75f);

    MetalBuffer<PackedSRHalf8> small(device, 550619);
    try {
        small.makeMultiArray(8, 798, 690);
        FAIL() << "a buffer one record short was viewed";
    } catch (const platform::ml::MLError& e) {
        EXPECT_STREQ(e.what(), "Buffer size (550619) doesn't match required dimensions (4404960)");
    }
    MetalBuffer<PackedSRHalf8> larger(device, 550621);
    EXPECT_EQ(larger.makeMultiArray(8, 798, 690)->shape()[0], 8);
}

TEST(SRDispatch, ThreadgroupsComeFromThePipelineAndCoverTheImage) {
    const ComputePipelineState usual({}, 32, 1024);
    const auto size = dispatchSize(usual, 690, 798);
    EXPECT_EQ(size.threadsPerThreadgroup, (Size3{32, 32, 1}));
    EXPECT_EQ(size.threadgroupsPerGrid, (Size3{22, 25, 1}));
    // Fewer threads per group than the execution width: rows of one thread, never zero.
    const ComputePipelineState narrow({}, 32, 16);
    EXPECT_EQ(dispatchSize(narrow, 690, 798).threadsPerThreadgroup, (Size3{32, 1, 1}));
    EXPECT_EQ(dispatchSize(narrow, 690, 798).threadgroupsPerGrid, (Size3{22, 798, 1}));
}

// Three feature textures of w x h whose channels encode pixel, texture and channel.
struct PackingScene {
    static float value(std::uint32_t x, std::uint32_t y, int t, int c) { return x * 0.01f + y * 0.1f + t + c * 0.25f - 2; }

    std::shared_ptr<SoftwareDevice> device = makeDevice();
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    std::vector<std::shared_ptr<Texture>> textures;

    PackingScene(std::uint32_t w, std::uint32_t h) {
        for (int t = 0; t < 3; ++t) {
            textures.push_back(featureTexture(*device, w, h));
            for (std::uint32_t y = 0; y < h; ++y)
                for (std::uint32_t x = 0; x < w; ++x)
                    textures[t]->write({value(x, y, t, 0), value(x, y, t, 1), value(x, y, t, 2), value(x, y, t, 3)}, x, y);
        }
    }
};

TEST(SRPacking, WritesEachFeaturePlanarAndNothingPastTheImage) {
    // 37 x 21 leaves most of the rounded-up grid outside the image.
    const std::uint32_t w = 37, h = 21;
    PackingScene scene(w, h);
    auto output = std::make_shared<MetalBuffer<PackedSRHalf8>>(scene.device, w * h + 4);
    auto* halves = reinterpret_cast<std::uint16_t*>(output->values());
    std::fill(halves, halves + (w * h + 4) * 8, 0xabcd);
    SRComputePass pass(scene.device, makeKitShaderLibrary(*scene.device));
    pass.setup();
    auto commandBuffer = scene.queue->makeCommandBuffer();
    pass.compute(*commandBuffer, {scene.textures, output});
    runAndWait(commandBuffer);

    // Channels 0-2 are texture 0's colour, 3-5 texture 1's, 6-7 texture 2's red and green.
    const int source[8][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}};
    for (int c = 0; c < 8; ++c)
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(halves[c * w * h + y * w + x], floatToHalf(PackingScene::value(x, y, source[c][0], source[c][1])))
                    << "channel " << c << " at " << x << ", " << y;
    for (std::size_t i = 8 * w * h; i < (w * h + 4) * 8; ++i) ASSERT_EQ(halves[i], 0xabcd) << i;

    // A buffer too short for the image is not written at all; a missing texture reads as 0.
    auto shortBuffer = std::make_shared<MetalBuffer<PackedSRHalf8>>(scene.device, w * h - 1);
    auto* shortHalves = reinterpret_cast<std::uint16_t*>(shortBuffer->values());
    std::fill(shortHalves, shortHalves + (w * h - 1) * 8, 0xabcd);
    auto again = scene.queue->makeCommandBuffer();
    pass.compute(*again, {scene.textures, shortBuffer});
    pass.compute(*again, {{scene.textures[0]}, output});
    runAndWait(again);
    EXPECT_TRUE(std::all_of(shortHalves, shortHalves + (w * h - 1) * 8, [](std::uint16_t v) { return v == 0xabcd; }));
    EXPECT_EQ(halves[3 * w * h], 0);
    EXPECT_EQ(halves[7 * w * h + w * h - 1], 0);
}

TEST(SRComposite, PutsTheSecondSourceOverTheFirstWithinTheDestination) {
    auto device = makeDevice();
    auto queue = device->makeCommandQueue();
    auto below = featureTexture(*device, 7, 5), above = featureTexture(*device, 7, 5), out = featureTexture(*device, 5, 3);
    for (std::uint32_t y = 0; y < 5; ++y)
        for (std::uint32_t x = 0; x < 7; ++x) {
            below->write({0.2f, 0.4f, 0.6f, 0.8f}, x, y);
            above->write({0.1f * (x % 2), 0.0f, 0.25f, x % 2 ? 0.5f : 0.0f}, x, y);
        }
    CompositeComputePass pass(device, makeKitShaderLibrary(*device));
    pass.setup();
    auto commandBuffer = queue->makeCommandBuffer();
    pass.compute(*commandBuffer, {below, above, out});
    runAndWait(commandBuffer);
    const auto& dispatch = *commandBuffer->encoders()[0]->commandsOf<command::DispatchThreadgroups>()[0];
    EXPECT_EQ(dispatch.threadgroupsPerGrid, (Size3{1, 1, 1})); // the destination's size decides
    EXPECT_EQ(commandBuffer->encoders()[0]->label, "纹理拼接计算");
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x) {
            const float k = x % 2 ? 0.5f : 1.0f;
            const simd::float4 want{0.1f * (x % 2) + 0.2f * k, 0.4f * k, 0.25f + 0.6f * k, (x % 2 ? 0.5f : 0.0f) + 0.8f * k};
            const simd::float4 got = at(*out, x, y);
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], want[c], 1e-3) << x << ", " << y << " channel " << c;
        }
}

TEST(SRComputePasses, AMissingKernelIsATypedErrorAndLeavesNothingToEncode) {
    auto device = makeDevice();
    auto empty = device->makeLibrary({});
    SRComputePass packing(device, empty);
    CompositeComputePass composite(device, empty);
    try {
        packing.setup();
        FAIL();
    } catch (const RenderPassError& e) {
        EXPECT_EQ(e.domain(), "SplatRenderer");
        EXPECT_EQ(e.code(), -1);
        EXPECT_EQ(e.localizedDescription(), "创建SR计算管线失败");
    }
    try {
        composite.setup();
        FAIL();
    } catch (const RenderPassError& e) {
        EXPECT_EQ(e.localizedDescription(), "创建纹理拼接计算管线失败");
    }
    auto commandBuffer = device->makeCommandQueue()->makeCommandBuffer();
    packing.compute(*commandBuffer, {{featureTexture(*device, 4, 4)}, std::make_shared<MetalBuffer<PackedSRHalf8>>(device, 16)});
    composite.compute(*commandBuffer, {nullptr, nullptr, featureTexture(*device, 4, 4)});
    EXPECT_TRUE(commandBuffer->encoders().empty());
}

// A splat point carrying the eight super-resolution features.
SplatScenePoint srPoint(simd::float3 position, std::array<float, 8> features, float opacity, float scale) {
    SplatScenePoint p = point(position, {0, 0, 0}, opacity, {scale, scale, scale});
    p.color = SplatScenePoint::Color::SuperResolution{std::vector<float>(features.begin(), features.end())};
    return p;
}

// Draws `points` offscreen into three w x h feature textures.
std::vector<std::shared_ptr<Texture>> drawFeatures(const SplatPointList& points, std::uint32_t w,
                                                   std::uint32_t h, bool fused, std::uint32_t threads = 0) {
    auto device = makeDevice(threads, fused);
    auto queue = device->makeCommandQueue();
    SplatRenderer sorter(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
    SplatMemoryBuffer frame;
    frame.points = points;
    sorter.update(frame);
    const ViewportDescriptor view = cameraView(w, h, 2.0f);
    sorter.render({view}, makeTarget(*device, w, h), StoreAction::store, nullptr, nullptr, nullptr, 0,
                  queue->makeCommandBuffer(), queue); // sorts and writes the view into the ring
    GaussianSplatRenderPass pass(device, makeKitShaderLibrary(*device), PixelFormat::rgba16Float, PixelFormat::invalid,
                                 PixelFormat::invalid, 1, 1, {}, false);
    pass.setup();
    std::vector<std::shared_ptr<Texture>> textures;
    for (int i = 0; i < 3; ++i) textures.push_back(featureTexture(*device, w, h));
    auto commandBuffer = queue->makeCommandBuffer();
    pass.render(*commandBuffer, {{view}, sorter.dynamicUniformBuffers(), sorter.uniformBufferOffset(),
                                 &sorter.bufferManager, textures, nullptr, nullptr, {0.3, 0.3, 0.3, 1},
                                 StoreAction::dontCare, 0, nullptr});
    runAndWait(commandBuffer);
    return textures;
}

TEST(SRSplatShaders, SpreadTheFeaturesOverTwoAttachmentsPremultipliedLikeTheColour) {
    const std::array<float, 8> features{0.9f, 0.6f, 0.3f, 0.5f, 0.25f, 0.125f, 1.5f, -0.75f};
    for (bool fused : {true, false}) {
        const auto textures = drawFeatures({srPoint({0, 0, 0}, features, 0.8f, 0.1f)}, 33, 33, fused);
        const float a = halfToFloat(floatToHalf(0.8f)); // the centre pixel's alpha is the opacity
        const simd::float4 colour = at(*textures[0], 16, 16), first = at(*textures[1], 16, 16),
                           second = at(*textures[2], 16, 16);
        // Over attachment 0's clear (1, 1, 1, 0); the others start from 0.
        const float expected[3][4] = {{0.9f * a + 1 - a, 0.6f * a + 1 - a, 0.3f * a + 1 - a, a},
                                      {0.5f * a, 0.25f * a, 0.125f * a, a},
                                      {1.5f * a, -0.75f * a, 0, a}};
        const simd::float4 got[3] = {colour, first, second};
        for (int t = 0; t < 3; ++t)
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(got[t][c], expected[t][c], 2e-3) << (fused ? "fused" : "generic") << " attachment " << t << " channel " << c;
        // The corners are the clear values.
        EXPECT_EQ(at(*textures[0], 0, 0), (simd::float4{1, 1, 1, 0}));
        EXPECT_EQ(at(*textures[1], 0, 0), (simd::float4{0, 0, 0, 0}));
    }
}

TEST(SRSplatShaders, FusedDrawMatchesTheGenericPathAndTheThreadCountDoesNotMatter) {
    SplatPointList points;
    std::uint32_t state = 9;
    auto unit = [&] { return (state = state * 1664525u + 1013904223u) / 4294967296.0f; };
    for (int i = 0; i < 600; ++i)
        points.push_back(srPoint({unit() - 0.5f, unit() - 0.5f, unit() - 0.5f},
                                 {unit(), unit(), unit(), unit(), 2 * unit() - 1, unit(), 3 * unit(), unit()},
                                 0.2f + 0.8f * unit(), 0.03f + 0.1f * unit()));
    const auto fused = drawFeatures(points, 70, 50, true, 4);
    const auto generic = drawFeatures(points, 70, 50, false, 4);
    const auto single = drawFeatures(points, 70, 50, true, 1);
    float worst = 0;
    int drawn = 0;
    for (int t = 0; t < 3; ++t)
        for (std::uint32_t y = 0; y < 50; ++y)
            for (std::uint32_t x = 0; x < 70; ++x) {
                const simd::float4 f = at(*fused[t], x, y), g = at(*generic[t], x, y);
                ASSERT_EQ(f, at(*single[t], x, y)) << t << ": " << x << ", " << y;
                for (int c = 0; c < 4; ++c) worst = std::max(worst, std::fabs(f[c] - g[c]));
                drawn += t == 1 && f.w > 0.5f;
            }
    // Front to back stops once a pixel lets through less than 1/2048; half floats round too.
    EXPECT_LT(worst, 0.01f);
    EXPECT_GT(drawn, 500);
}

// What the screen pass shows on a target after one prediction wrote an image of w x h (a network
// of half that size) whose BGRA bytes are bgra(x, y).
Image showOnScreen(bool fused, std::uint32_t w, std::uint32_t h,
                   const std::function<std::array<std::uint8_t, 4>(std::uint32_t, std::uint32_t)>& bgra,
                   std::uint32_t targetWidth, std::uint32_t targetHeight, ClearColor clear) {
    auto device = makeDevice(0, fused);
    auto queue = device->makeCommandQueue();
    auto network = std::make_shared<UpscalingNetwork>(int(w / 2), int(h / 2));
    auto ring = std::make_shared<SRPixelBuffer>(device, w, h);
    const auto& image = ring->buffers()[2]; // what the pass shows after one prediction
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const auto pixel = bgra(x, y);
            std::memcpy(image->baseAddress() + y * image->bytesPerRow() + x * 4, pixel.data(), 4);
        }
    ring->finishWrite();
    // As the view draws it: an sRGB drawable, onto which the ring's sRGB-read pixels come out unchanged.
    ScreenRenderPass pass(device, makeKitShaderLibrary(*device), PixelFormat::bgra8Unorm_srgb, network);
    pass.setup();
    auto target = makeTarget(*device, targetWidth, targetHeight, PixelFormat::bgra8Unorm_srgb);
    auto commandBuffer = queue->makeCommandBuffer();
    pass.render(*commandBuffer, {target, ring, StoreAction::store, clear});
    runAndWait(commandBuffer);
    return readImage(*target);
}

TEST(SRScreenPass, TheScalePairIsTheWidthRatioTimesTheNetworksAspectInSinglePrecision) {
    // r x (Hn / Wn), each step rounded to a float; (r x Hn) / Wn comes out one unit lower.
    EXPECT_EQ(ScreenRenderPass::scalePair(1290, 690, 798), (std::array<float, 2>{1.8695652f, 2.1621931f}));
    EXPECT_EQ(ScreenRenderPass::scalePair(1170, 690, 798), (std::array<float, 2>{1.6956521f, 1.9610586f}));
}

TEST(SRScreenShaders, ImageFillsTheWidthKeepsItsAspectAndIsCentred) {
    for (bool fused : {true, false}) {
        // A 4 x 2 network: its 8 x 4 output, shown on a 16 x 16 target, is 16 x 8 in rows 4 to 11.
        const Image shown = showOnScreen(
            fused, 8, 4,
            [](std::uint32_t x, std::uint32_t y) {
                return std::array<std::uint8_t, 4>{std::uint8_t(y * 60), 0, std::uint8_t(x * 30), 255};
            },
            16, 16, {0, 1, 0, 1});
        for (std::uint32_t x = 0; x < 16; ++x) {
            EXPECT_EQ(shown.rgba(x, 3), (std::array<int, 4>{0, 255, 0, 255})) << x;
            EXPECT_EQ(shown.rgba(x, 12), (std::array<int, 4>{0, 255, 0, 255})) << x;
        }
        // Two target pixels per image pixel: each pixel centre falls between two texels, which are
        // blended in linear light (sRGB decoded, then encoded again).
        auto decode = [](double byte) {
            const double c = byte / 255.0;
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        auto encode = [](double linear) {
            const double c = linear <= 0.0031308 ? linear * 12.92 : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
            return int(c * 255 + 0.5);
        };
        auto interpolated = [&](float texel, float last, int step) {
            const float t = std::clamp(texel - 0.5f, 0.0f, last);
            const int i0 = int(t), i1 = std::min(i0 + 1, int(last));
            const double f = t - float(i0);
            return encode(decode(i0 * step) * (1 - f) + decode(i1 * step) * f);
        };
        for (std::uint32_t y = 4; y < 12; ++y)
            for (std::uint32_t x = 0; x < 16; ++x) {
                const auto p = shown.rgba(x, y);
                EXPECT_NEAR(p[0], interpolated((x + 0.5f) / 2, 7, 30), 1) << (fused ? "fused " : "generic ") << x << ", " << y;
                EXPECT_NEAR(p[2], interpolated((y - 4 + 0.5f) / 2, 3, 60), 1) << x << ", " << y;
                EXPECT_EQ(p[3], 255);
            }
    }
}

TEST(SRScreenShaders, FusedDrawMatchesTheGenericPathOnAMinifiedImage) {
    auto pattern = [](std::uint32_t x, std::uint32_t y) {
        return std::array<std::uint8_t, 4>{std::uint8_t(x * y), std::uint8_t(x * 5), std::uint8_t(255 - y * 7), 255};
    };
    const Image fused = showOnScreen(true, 46, 34, pattern, 31, 40, {1, 1, 1, 1});
    const Image generic = showOnScreen(false, 46, 34, pattern, 31, 40, {1, 1, 1, 1});
    int worst = 0;
    for (std::size_t i = 0; i < fused.bgra.size(); ++i)
        worst = std::max(worst, std::abs(int(fused.bgra[i]) - int(generic.bgra[i])));
    EXPECT_LE(worst, 1); // texture coordinates interpolated, or computed per row and column
}

} // namespace
