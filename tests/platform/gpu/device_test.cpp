// Device limits and refusals, textures and their pixel formats, and compute dispatch.

#include "gpu_test_shaders.hpp"

#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace gputest;

namespace {

TEST(Device, RefusesWhatItCannotMake) {
    SoftwareDeviceDescriptor descriptor;
    descriptor.maxBufferLength = 1000;
    auto device = std::make_shared<SoftwareDevice>(descriptor);
    EXPECT_TRUE(device->makeBuffer(1000));
    EXPECT_FALSE(device->makeBuffer(1001));
    EXPECT_FALSE(device->makeBuffer(0));
    EXPECT_FALSE(device->makeTexture({PixelFormat::bgra8Unorm, 0, 4}));
    EXPECT_FALSE(device->makeTexture({PixelFormat::invalid, 4, 4}));

    auto library = testLibrary(*device);
    RenderPipelineDescriptor d;
    d.vertexFunction = library->makeFunction("flatVertex");
    EXPECT_THROW(device->makeRenderPipelineState(d), PipelineError); // no fragment function
    EXPECT_FALSE(library->makeFunction("missing"));
    d.fragmentFunction = library->makeFunction("flatFragment");
    d.colorAttachments[0].pixelFormat = PixelFormat::bgra8Unorm;
    EXPECT_TRUE(device->makeRenderPipelineState(d));
    auto dual = d;
    dual.colorAttachments[0].blendingEnabled = true;
    dual.colorAttachments[0].destinationRGBBlendFactor = BlendFactor::oneMinusSource1Alpha;
    EXPECT_THROW(device->makeRenderPipelineState(dual), PipelineError);
    auto multisampled = d;
    multisampled.rasterSampleCount = 4;
    EXPECT_THROW(device->makeRenderPipelineState(multisampled), PipelineError);
    auto wrongDepth = d;
    wrongDepth.depthAttachmentPixelFormat = PixelFormat::bgra8Unorm;
    EXPECT_THROW(device->makeRenderPipelineState(wrongDepth), PipelineError);
    EXPECT_THROW(device->makeComputePipelineState({"", library->makeFunction("flatVertex")}), PipelineError);
}

TEST(Textures, FormatsConvertAndTexturesCanAliasABuffer) {
    auto device = std::make_shared<SoftwareDevice>();
    auto srgb = device->makeTexture({PixelFormat::bgra8Unorm_srgb, 2, 1});
    srgb->write({0.5f, 0.0f, 1.0f, 0.5f}, 0, 0);
    std::uint8_t bytes[4];
    srgb->getBytes(bytes, 8, {0, 0, 1, 1});
    EXPECT_EQ(bytes[2], 188); // linear 0.5 is sRGB 188
    EXPECT_EQ(bytes[0], 255);
    EXPECT_EQ(bytes[3], 128);
    EXPECT_NEAR(srgb->read(0, 0).x, 0.5f, 0.003f);

    auto half = device->makeTexture({PixelFormat::rgba16Float, 1, 1});
    half->write({1.5f, -2.0f, 65504.0f, 1e-5f}, 0, 0);
    const simd::float4 back = half->read(0, 0);
    EXPECT_EQ(back.x, 1.5f);
    EXPECT_EQ(back.y, -2.0f);
    EXPECT_EQ(back.z, 65504.0f);
    EXPECT_EQ(back.w, halfToFloat(floatToHalf(1e-5f)));

    auto buffer = device->makeBuffer(4 * 16 * 3);
    auto alias = buffer->makeTexture({PixelFormat::bgra8Unorm, 3, 3}, 16, 16);
    ASSERT_TRUE(alias);
    EXPECT_EQ(alias->buffer(), buffer);
    alias->write({1, 0, 0, 1}, 1, 2);
    EXPECT_EQ(std::to_integer<int>(buffer->contents()[16 + 2 * 16 + 4 + 2]), 255); // red byte of pixel (1, 2)
    EXPECT_FALSE(buffer->makeTexture({PixelFormat::bgra8Unorm, 3, 3}, 150, 16)); // past the end
    EXPECT_FALSE(buffer->makeTexture({PixelFormat::bgra8Unorm, 5, 1}, 0, 16));  // rows too short
}

TEST(Compute, ThreadgroupsCoverTheGridOnce) {
    auto device = std::make_shared<SoftwareDevice>();
    auto library = testLibrary(*device);
    auto pipeline = device->makeComputePipelineState({"fill", library->makeFunction("fill")});
    const std::uint32_t w = 37, h = 23;
    auto texture = device->makeTexture({PixelFormat::bgra8Unorm, w, h, 1, TextureUsage::shaderWrite});
    auto counts = device->makeBuffer(w * h * 4);
    const std::uint32_t tw = pipeline->threadExecutionWidth();
    const std::uint32_t th = pipeline->maxTotalThreadsPerThreadgroup() / tw;
    auto cb = device->makeCommandQueue()->makeCommandBuffer();
    auto e = cb->makeComputeCommandEncoder();
    e->setComputePipelineState(pipeline);
    e->setTexture(texture, 0);
    e->setBuffer(counts, 0, 0);
    e->dispatchThreadgroups({(w + tw - 1) / tw, (h + th - 1) / th, 1}, {tw, th, 1});
    e->endEncoding();
    cb->commit();
    cb->waitUntilCompleted();
    const auto* c = reinterpret_cast<const std::uint32_t*>(counts->contents());
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            ASSERT_EQ(c[y * w + x], 1u);
            const simd::float4 v = texture->read(x, y);
            ASSERT_EQ(int(v.x * 255 + 0.5f), int(x));
            ASSERT_EQ(int(v.y * 255 + 0.5f), int(y));
        }
}

} // namespace
