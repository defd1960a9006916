// What the direct renderer encodes, read from the command buffer's record.

#include "render_fixture.hpp"

#include "kit/render/shader_library.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace MivoKit;

using namespace rendertest;

namespace {

struct Encoding : ::testing::Test {
    std::shared_ptr<SoftwareDevice> device = makeDevice();
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    std::shared_ptr<Texture> target = makeTarget(*device, 32, 24);

    std::unique_ptr<SplatRenderer> makeRenderer(std::size_t maxViewCount = 1, std::size_t ring = 3,
                                                PixelFormat depth = PixelFormat::invalid) {
        auto r = std::make_unique<SplatRenderer>(device, ColorFormat::RGB, depth, PixelFormat::invalid, 1,
                                                 maxViewCount, ring);
        r->add(point({0, 0, 0}, {1, 1, 1}, 1, {0.1f, 0.1f, 0.1f}));
        r->add(point({0.2f, 0, 0}, {1, 1, 1}, 1, {0.1f, 0.1f, 0.1f}));
        return r;
    }

    std::shared_ptr<CommandBuffer> encode(SplatRenderer& renderer, const std::vector<ViewportDescriptor>& views,
                                          std::shared_ptr<Texture> depth = nullptr,
                                          std::shared_ptr<Texture> stencil = nullptr) {
        auto commandBuffer = queue->makeCommandBuffer();
        auto returned = renderer.render(views, target, StoreAction::store, depth, stencil, nullptr, 0, commandBuffer,
                                        queue);
        EXPECT_EQ(returned, commandBuffer);
        return returned;
    }
};

TEST_F(Encoding, OneFrameIsOneLabelledInstancedDraw) {
    auto renderer = makeRenderer();
    const auto view = cameraView(32, 24, 2);
    auto cb = encode(*renderer, {view});
    ASSERT_EQ(cb->encoders().size(), 1u);
    const EncoderRecord& r = *cb->encoders()[0];
    EXPECT_EQ(r.label, "Primary Render Encoder");
    EXPECT_TRUE(r.ended);
    const auto& pass = *r.renderPass;
    EXPECT_EQ(pass.colorAttachments[0].texture, target);
    EXPECT_EQ(pass.colorAttachments[0].loadAction, LoadAction::clear);
    EXPECT_EQ(pass.colorAttachments[0].storeAction, StoreAction::store);
    EXPECT_EQ(pass.colorAttachments[0].clearColor, (ClearColor{1, 1, 1, 1}));
    EXPECT_FALSE(pass.depthAttachment.texture);

    ASSERT_EQ(r.commands.size(), 8u);
    EXPECT_EQ(std::get<command::SetViewports>(r.commands[0]).viewports, std::vector<Viewport>{view.viewport});
    EXPECT_EQ(std::get<command::PushDebugGroup>(r.commands[1]).name, "Draw Splat Model");
    const auto& pipeline = std::get<command::SetRenderPipelineState>(r.commands[2]).state;
    EXPECT_EQ(pipeline->label(), "3DGS渲染管线");
    const auto& blend = pipeline->descriptor().colorAttachments[0];
    EXPECT_TRUE(blend.blendingEnabled);
    EXPECT_EQ(blend.pixelFormat, PixelFormat::bgra8Unorm);
    EXPECT_EQ(blend.sourceRGBBlendFactor, BlendFactor::one);
    EXPECT_EQ(blend.destinationAlphaBlendFactor, BlendFactor::oneMinusSourceAlpha);
    EXPECT_EQ(pipeline->descriptor().vertexFunction->name(), "splatVertexShader");
    EXPECT_EQ(pipeline->descriptor().fragmentFunction->name(), "splatFragmentShader");
    const auto& depthState = std::get<command::SetDepthStencilState>(r.commands[3]).state;
    EXPECT_EQ(depthState->descriptor().depthCompareFunction, CompareFunction::always);
    EXPECT_FALSE(depthState->descriptor().depthWriteEnabled);
    const auto& uniforms = std::get<command::SetBuffer>(r.commands[4]);
    EXPECT_EQ(uniforms.index, 0u);
    EXPECT_EQ(uniforms.buffer, renderer->dynamicUniformBuffers());
    EXPECT_EQ(uniforms.offset, 512u); // the first frame uses slot 1
    const auto& splats = std::get<command::SetBuffer>(r.commands[5]);
    EXPECT_EQ(splats.index, 1u);
    EXPECT_EQ(splats.buffer, renderer->bufferManager.splatBuffer->buffer());
    const auto& draw = std::get<command::DrawPrimitives>(r.commands[6]);
    EXPECT_EQ(draw.primitiveType, PrimitiveType::triangleStrip);
    EXPECT_EQ(draw.vertexStart, 0u);
    EXPECT_EQ(draw.vertexCount, 4u);
    EXPECT_EQ(draw.instanceCount, 2u);
    EXPECT_TRUE(std::holds_alternative<command::PopDebugGroup>(r.commands[7]));

    // The slot holds this view's uniforms.
    const auto* slot = reinterpret_cast<const UniformsArray*>(renderer->dynamicUniformBuffers()->contents() + 512);
    EXPECT_EQ(slot->uniforms0.viewMatrix, view.viewMatrix);
    EXPECT_EQ(slot->uniforms0.projectionMatrix, view.projectionMatrix);
    EXPECT_EQ(slot->uniforms0.screenSize.x, 32u);
    EXPECT_EQ(slot->uniforms0.screenSize.y, 24u);
}

TEST_F(Encoding, NoSplatsEncodesNothingAndKeepsTheRing) {
    auto renderer = makeRenderer();
    renderer->reset();
    EXPECT_EQ(renderer->splatCount(), 0u);
    EXPECT_EQ(renderer->bufferManager.splatBuffer->capacity(), 1u);
    auto cb = encode(*renderer, {cameraView(32, 24, 2)});
    EXPECT_TRUE(cb->encoders().empty());
    EXPECT_EQ(renderer->uniformBufferIndex(), 0u);
    EXPECT_FALSE(renderer->renderPipelineState());
}

TEST_F(Encoding, TheRingCyclesThroughItsSlots) {
    auto renderer = makeRenderer(1, 3);
    std::vector<std::size_t> offsets;
    for (int frame = 0; frame < 4; ++frame) {
        encode(*renderer, {cameraView(32, 24, 2)});
        offsets.push_back(renderer->uniformBufferOffset());
        EXPECT_EQ(reinterpret_cast<const std::byte*>(renderer->uniforms()),
                  renderer->dynamicUniformBuffers()->contents() + renderer->uniformBufferOffset());
    }
    EXPECT_EQ(offsets, (std::vector<std::size_t>{512, 1024, 0, 512}));

    auto single = makeRenderer(1, 1);
    encode(*single, {cameraView(32, 24, 2)});
    EXPECT_EQ(single->uniformBufferOffset(), 0u);
}

TEST_F(Encoding, CountsOfZeroAreRefused) {
    EXPECT_THROW(SplatRenderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 0, 3),
                 SplatRenderer::Error);
    try {
        SplatRenderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 0);
        FAIL() << "no error";
    } catch (const SplatRenderer::Error& e) {
        EXPECT_EQ(e.code(), SplatRenderer::ErrorCode::invalidMaxSimultaneousRenders);
    }
}

TEST_F(Encoding, CameraDirectionIsTheMeanViewingDirection) {
    auto renderer = makeRenderer(2);
    auto identity = cameraView(32, 24, 0);
    identity.viewMatrix = simd::float4x4::identity();
    encode(*renderer, {identity});
    EXPECT_EQ(renderer->cameraWorldForward(), (simd::float3{0, 0, -1}));

    const auto turned = cameraView(32, 24, 2, 0.8f, rotationMatrix(float(M_PI), {0, 1, 0}));
    encode(*renderer, {turned});
    EXPECT_NEAR(renderer->cameraWorldForward().z, 1.0f, 1e-6);
    EXPECT_NEAR(renderer->cameraWorldForward().x, 0.0f, 1e-6);
    EXPECT_NEAR(renderer->cameraWorldPosition().z, -2.0f, 1e-5);

    // Two views a quarter turn either side of -z average to -z; positions average too.
    auto left = cameraView(32, 24, 2, 0.8f, rotationMatrix(float(M_PI / 2), {0, 1, 0}));
    auto right = cameraView(32, 24, 2, 0.8f, rotationMatrix(float(-M_PI / 2), {0, 1, 0}));
    auto forward = cameraView(32, 24, 2);
    encode(*renderer, {left, forward});
    const auto f = renderer->cameraWorldForward();
    EXPECT_NEAR(f.x, -std::sqrt(0.5f), 1e-6);
    EXPECT_NEAR(f.z, -std::sqrt(0.5f), 1e-6);
    (void)right;

    // No views: the default direction, and the slot is not written.
    const auto* slot = renderer->uniforms();
    const UniformsArray before = *reinterpret_cast<const UniformsArray*>(
        renderer->dynamicUniformBuffers()->contents() + ((renderer->uniformBufferIndex() + 1) % 3) * 512);
    auto cb = encode(*renderer, {});
    EXPECT_EQ(renderer->cameraWorldForward(), (simd::float3{0, 0, -1}));
    EXPECT_EQ(renderer->cameraWorldPosition(), (simd::float3{0, 0, 0}));
    EXPECT_NE(renderer->uniforms(), slot);
    EXPECT_EQ(std::memcmp(renderer->uniforms(), &before, sizeof before), 0);
}

TEST_F(Encoding, TwoViewsAmplifyAndViewsPastTheMaximumAreIgnored) {
    auto renderer = makeRenderer(2);
    auto a = cameraView(32, 24, 2), b = cameraView(32, 24, 3), c = cameraView(32, 24, 4);
    b.viewport.originX = 16;
    c.viewport.originY = 8;
    auto cb = encode(*renderer, {a, b, c});
    const EncoderRecord& r = *cb->encoders()[0];
    EXPECT_EQ(r.commandsOf<command::SetViewports>()[0]->viewports, (std::vector<Viewport>{a.viewport, b.viewport}));
    const auto amplification = r.commandsOf<command::SetVertexAmplification>();
    ASSERT_EQ(amplification.size(), 1u);
    EXPECT_EQ(amplification[0]->count, 2u);
    EXPECT_EQ(amplification[0]->mappings,
              (std::vector<VertexAmplificationViewMapping>{{0, 0}, {1, 1}}));
    EXPECT_EQ(renderer->uniforms()->uniforms1.viewMatrix, b.viewMatrix);

    // One view allowed: the second is neither amplified nor written to the slot.
    auto single = makeRenderer(1);
    auto cb1 = encode(*single, {a, b});
    const EncoderRecord& r1 = *cb1->encoders()[0];
    EXPECT_TRUE(r1.commandsOf<command::SetVertexAmplification>().empty());
    EXPECT_EQ(r1.commandsOf<command::SetViewports>()[0]->viewports.size(), 1u);
    EXPECT_EQ(single->uniforms()->uniforms1.viewMatrix, simd::float4x4{});
    cb->commit();
    cb1->commit();
    cb->waitUntilCompleted();
    cb1->waitUntilCompleted();
}

TEST_F(Encoding, ClearColourIsPremultiplied) {
    auto renderer = makeRenderer();
    renderer->updateClearColor({1, 0, 0, 0.5});
    auto cb = encode(*renderer, {cameraView(32, 24, 50)}); // the splats are tiny and far away
    EXPECT_EQ(cb->encoders()[0]->renderPass->colorAttachments[0].clearColor, (ClearColor{0.5, 0, 0, 0.5}));
    cb->commit();
    cb->waitUntilCompleted();
    EXPECT_EQ(readImage(*target).rgba(0, 0), (std::array<int, 4>{128, 0, 0, 128}));
}

TEST_F(Encoding, StoreDepthTogglesRebuildBothStatesOnlyOnChange) {
    auto renderer = makeRenderer(1, 3, PixelFormat::depth32Float);
    TextureDescriptor d;
    d.pixelFormat = PixelFormat::depth32Float;
    d.width = 32;
    d.height = 24;
    auto depth = device->makeTexture(d);
    TextureDescriptor s = d;
    s.pixelFormat = PixelFormat::stencil8;
    auto stencil = device->makeTexture(s);

    auto first = encode(*renderer, {cameraView(32, 24, 2)}, depth, stencil);
    const auto& pass = *first->encoders()[0]->renderPass;
    EXPECT_EQ(pass.depthAttachment.texture, depth);
    EXPECT_EQ(pass.depthAttachment.loadAction, LoadAction::clear);
    EXPECT_EQ(pass.depthAttachment.storeAction, StoreAction::dontCare);
    EXPECT_EQ(pass.depthAttachment.clearDepth, 0.1);
    EXPECT_EQ(pass.stencilAttachment.texture, stencil);
    EXPECT_EQ(pass.stencilAttachment.loadAction, LoadAction::clear);
    EXPECT_EQ(pass.stencilAttachment.storeAction, StoreAction::dontCare);
    EXPECT_EQ(pass.stencilAttachment.clearStencil, 0u);
    const auto pipeline = renderer->renderPipelineState();
    const auto depthState = renderer->depthState();

    renderer->setStoreDepth(true);
    EXPECT_FALSE(renderer->renderPipelineState());
    EXPECT_FALSE(renderer->depthState());
    auto second = encode(*renderer, {cameraView(32, 24, 2)}, depth);
    EXPECT_NE(renderer->renderPipelineState(), pipeline);
    EXPECT_TRUE(renderer->depthState()->descriptor().depthWriteEnabled);
    EXPECT_EQ(second->encoders()[0]->renderPass->depthAttachment.storeAction, StoreAction::store);
    second->commit();
    second->waitUntilCompleted();
    // The stored depth is the splats' window depth where they were drawn, the clear value elsewhere.
    const float corner = reinterpret_cast<const float*>(depth->row(0))[0];
    const float centre = reinterpret_cast<const float*>(depth->row(12))[16];
    EXPECT_FLOAT_EQ(corner, 0.1f);
    EXPECT_GT(centre, 0.9f);

    const auto rebuilt = renderer->renderPipelineState();
    renderer->setStoreDepth(true);
    renderer->setRenderFrontToBack(false);
    EXPECT_EQ(renderer->renderPipelineState(), rebuilt);
    renderer->setRenderFrontToBack(true);
    EXPECT_FALSE(renderer->renderPipelineState());
    EXPECT_TRUE(renderer->renderFrontToBack());
    first->commit();
    first->waitUntilCompleted();
}

TEST_F(Encoding, RefusedBlendFactorsKeepThePreviousPipeline) {
    auto renderer = makeRenderer();
    renderer->updateBlendFactor(BlendFactor::sourceAlpha, BlendFactor::one, BlendFactor::oneMinusSourceAlpha,
                                BlendFactor::oneMinusSourceAlpha);
    const auto accepted = renderer->renderPipelineState();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->descriptor().colorAttachments[0].sourceRGBBlendFactor, BlendFactor::sourceAlpha);

    renderer->updateBlendFactor(BlendFactor::source1Color, BlendFactor::one, BlendFactor::zero, BlendFactor::zero);
    EXPECT_EQ(renderer->renderPipelineState(), accepted);
    // Later rebuilds still use the accepted factors.
    renderer->setStoreDepth(true);
    auto cb = encode(*renderer, {cameraView(32, 24, 2)});
    ASSERT_TRUE(renderer->renderPipelineState());
    EXPECT_EQ(renderer->renderPipelineState()->descriptor().colorAttachments[0].sourceRGBBlendFactor,
              BlendFactor::sourceAlpha);
    EXPECT_EQ(cb->encoders().size(), 1u);
}

TEST_F(Encoding, PartsUpdateLeavesTheSplatsAlone) {
    auto renderer = makeRenderer();
    SplatMemoryBuffer other;
    other.points = {point({1, 1, 1}, {0, 0, 0}, 1, {1, 1, 1})};
    renderer->update(other, other);
    EXPECT_EQ(renderer->splatCount(), 2u);
    renderer->add(other.points[0]);
    EXPECT_EQ(renderer->splatCount(), 3u);
}

TEST(EncodingRefusals, NoDepthStateMeansNoFrameAndARetryLater) {
    // A device that makes no depth-stencil state until told to.
    class Refusing : public SoftwareDevice {
    public:
        bool refuse = true;
        std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& d) override {
            return refuse ? nullptr : SoftwareDevice::makeDepthStencilState(d);
        }
    };
    auto device = std::make_shared<Refusing>();
    auto queue = device->makeCommandQueue();
    SplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
    renderer.add(point({0, 0, 0}, {1, 1, 1}, 1, {0.1f, 0.1f, 0.1f}));
    auto target = makeTarget(*device, 8, 8);
    auto cb = queue->makeCommandBuffer();
    EXPECT_EQ(renderer.render({cameraView(8, 8, 2)}, target, StoreAction::store, nullptr, nullptr, nullptr, 0, cb, queue),
              cb);
    EXPECT_TRUE(cb->encoders().empty());
    EXPECT_TRUE(renderer.renderPipelineState()); // the pipeline was built and is kept

    device->refuse = false;
    auto next = queue->makeCommandBuffer();
    renderer.render({cameraView(8, 8, 2)}, target, StoreAction::store, nullptr, nullptr, nullptr, 0, next, queue);
    EXPECT_EQ(next->encoders().size(), 1u);
}

using EncodingDeathTest = Encoding;

TEST_F(EncodingDeathTest, AMissingShaderFunctionStopsTheProgram) {
    auto library = makeKitShaderLibrary(*device);
    EXPECT_TRUE(makeRequiredFunction(*library, "splatVertexShader"));
    EXPECT_DEATH(makeRequiredFunction(*library, "noSuchShader"),
                 "Unable to load required shader function: \"noSuchShader\"");
}

TEST_F(EncodingDeathTest, ACommandBufferWithoutEncoderStopsTheProgram) {
    auto renderer = makeRenderer();
    EXPECT_DEATH(
        {
            auto cb = queue->makeCommandBuffer();
            cb->makeComputeCommandEncoder(); // left open: no render encoder can be made
            renderer->render({cameraView(32, 24, 2)}, target, StoreAction::store, nullptr, nullptr, nullptr, 0, cb,
                             queue);
        },
        "Failed to create render encoder");
}

} // namespace
