// The super-resolution renderers: what a frame encodes (read from the command records), the
// output ring and its predictions, what sharing it between three threads must not break, the two-set
// renderer, and a rendered frame against the direct renderer's image.

#include "tests/kit/render/sr/sr_test_support.hpp"

#include "kit/render/sr/sr_splat_renderer.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

using namespace MivoKit;

using namespace srtest;

namespace {

const EncoderRecord& encoder(const CommandBuffer& commandBuffer, std::size_t index) {
    return *commandBuffer.encoders().at(index);
}

std::shared_ptr<Texture> textureShown(const CommandBuffer& onscreen) {
    return encoder(onscreen, 0).commandsOf<command::SetTexture>().at(0)->texture;
}

std::vector<std::string> printedStartingWith(const platform::log::Capture& capture, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const auto& line : capture.printed())
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

TEST(SimpleSRSplatRendererEncoding, AFrameIsAnOffscreenBufferOfSplatsAndPackingThenTheScreenPass) {
    // The tolmira size on a 1290-wide drawable.
    Harness<> h(690, 798, 1290, 2796);
    h.renderer->add(ball(50, 0.3f, 0.05f));
    const auto first = h.frame(true);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->label(), ""); // nothing to show before a prediction has finished
    EXPECT_TRUE(first->encoders().empty());
    first->commit();

    const auto offscreen = lastOffscreen(*h.device);
    ASSERT_TRUE(offscreen);
    ASSERT_EQ(offscreen->encoders().size(), 2u);
    const EncoderRecord& splats = encoder(*offscreen, 0);
    EXPECT_EQ(splats.label, "3DGS离屏Encoder");
    const auto& pass = *splats.renderPass;
    const auto& textures = h.renderer->offscreenTextures();
    ASSERT_EQ(textures.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pass.colorAttachments[i].texture, textures[i]);
        EXPECT_EQ(textures[i]->width(), 690u);
        EXPECT_EQ(textures[i]->height(), 798u);
        EXPECT_EQ(pass.colorAttachments[i].loadAction, LoadAction::clear);
        EXPECT_EQ(pass.colorAttachments[i].storeAction, StoreAction::store);
        EXPECT_EQ(pass.colorAttachments[i].clearColor, i == 0 ? (ClearColor{1, 1, 1, 0}) : (ClearColor{0, 0, 0, 0}));
    }
    EXPECT_FALSE(pass.colorAttachments[3].texture);
    EXPECT_EQ(splats.commandsOf<command::PushDebugGroup>()[0]->name, "3DGS超分渲染");
    const auto& pipeline = splats.commandsOf<command::SetRenderPipelineState>()[0]->state;
    EXPECT_EQ(pipeline->label(), "3DGS渲染管线");
    EXPECT_EQ(pipeline->descriptor().vertexFunction->name(), "SRSplatVertexShader");
    EXPECT_EQ(pipeline->descriptor().fragmentFunction->name(), "SRSplatFragmentShader");
    for (int i = 0; i < 3; ++i) {
        const auto& a = pipeline->descriptor().colorAttachments[i];
        EXPECT_TRUE(a.blendingEnabled);
        EXPECT_EQ(a.pixelFormat, h.renderer->colorFormat());
        EXPECT_EQ(a.destinationRGBBlendFactor, BlendFactor::oneMinusSourceAlpha);
    }
    const auto buffers = splats.commandsOf<command::SetBuffer>();
    EXPECT_EQ(buffers[0]->buffer, h.renderer->dynamicUniformBuffers());
    EXPECT_EQ(buffers[0]->offset, 512u); // the first frame uses slot 1
    EXPECT_EQ(buffers[1]->buffer, h.renderer->splatBufferManager.splatBuffer->buffer());
    EXPECT_EQ(splats.commandsOf<command::DrawPrimitives>()[0]->instanceCount, 50u);

    const EncoderRecord& packing = encoder(*offscreen, 1);
    EXPECT_EQ(packing.kind, EncoderRecord::Kind::compute);
    EXPECT_EQ(packing.label, "SR计算 Encoder");
    EXPECT_EQ(packing.commandsOf<command::PushDebugGroup>()[0]->name, "SR计算");
    const auto packed = packing.commandsOf<command::SetTexture>();
    ASSERT_EQ(packed.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(packed[i]->texture, textures[i]);
    const auto input = h.renderer->srMultiChannelBuffer();
    EXPECT_EQ(packing.commandsOf<command::SetBuffer>()[0]->buffer, input->buffer());
    EXPECT_EQ(input->capacity(), 550620u);
    EXPECT_EQ(input->buffer()->length(), 8809920u);
    const auto& dispatch = *packing.commandsOf<command::DispatchThreadgroups>()[0];
    EXPECT_EQ(dispatch.threadsPerThreadgroup, (Size3{32, 32, 1}));
    EXPECT_EQ(dispatch.threadgroupsPerGrid, (Size3{22, 25, 1}));

    // Two predictions later the screen pass draws the network's image over the drawable.
    h.settle();
    h.frame();
    h.settle();
    const auto onscreen = h.frame(true);
    EXPECT_EQ(h.renderer->srMultiChannelBuffer(), input); // sized once
    EXPECT_EQ(onscreen->label(), "上屏 commandBuffer");
    ASSERT_EQ(onscreen->encoders().size(), 1u);
    const EncoderRecord& screen = encoder(*onscreen, 0);
    EXPECT_EQ(screen.label, "纹理上屏渲染");
    EXPECT_EQ(screen.commandsOf<command::PushDebugGroup>()[0]->name, "纹理上屏渲染");
    EXPECT_EQ(screen.renderPass->colorAttachments[0].texture, h.drawable);
    EXPECT_EQ(screen.renderPass->colorAttachments[0].loadAction, LoadAction::clear);
    EXPECT_EQ(screen.renderPass->colorAttachments[0].clearColor, h.renderer->clearColor);
    const auto corners = screen.commandsOf<command::SetBuffer>()[0]->buffer;
    ASSERT_EQ(corners->length(), 64u);
    const float expectedCorners[16] = {-1, -1, 0, 1, 1, -1, 0, 1, -1, 1, 0, 1, 1, 1, 0, 1};
    EXPECT_EQ(std::memcmp(corners->contents(), expectedCorners, 64), 0);
    const auto& scale = *screen.commandsOf<command::SetBytes>()[0];
    EXPECT_EQ(scale.index, 1u);
    float pair[2];
    std::memcpy(pair, scale.bytes.data(), sizeof pair);
    EXPECT_EQ(pair[0], 1.8695652f);
    EXPECT_EQ(pair[1], 2.1621931f);
    const auto& draw = *screen.commandsOf<command::DrawPrimitives>()[0];
    EXPECT_EQ(draw.primitiveType, PrimitiveType::triangleStrip);
    EXPECT_EQ(draw.vertexCount, 4u);
    onscreen->commit();
    h.settle();
}

TEST(SimpleSRSplatRendererEncoding, DepthIsClearedToATenthAndADrawableSizedDepthIsIgnored) {
    Harness<> h(24, 16, 48, 32);
    h.renderer->add(ball(20, 0.3f, 0.05f));
    auto depthOf = [&](std::uint32_t w, std::uint32_t hgt) {
        TextureDescriptor d;
        d.pixelFormat = PixelFormat::depth32Float;
        d.width = w;
        d.height = hgt;
        d.usage = TextureUsage::renderTarget;
        return h.device->makeTexture(d);
    };
    auto drawFrame = [&](std::shared_ptr<Texture> depth) {
        auto onscreen = h.renderer->render({h.view}, h.drawable, StoreAction::store, depth, nullptr, nullptr, 0,
                                           nullptr, h.queue);
        onscreen->commit();
        onscreen->waitUntilCompleted();
        return *lastOffscreen(*h.device)->encoders()[0]->renderPass;
    };
    // The drawable's depth (48 x 32) cannot join 24 x 16 attachments: left out, and the frame runs.
    EXPECT_FALSE(drawFrame(depthOf(48, 32)).depthAttachment.texture);
    const auto depth = depthOf(24, 16);
    const auto pass = drawFrame(depth);
    EXPECT_EQ(pass.depthAttachment.texture, depth);
    EXPECT_EQ(pass.depthAttachment.clearDepth, 0.1);
    EXPECT_EQ(pass.depthAttachment.storeAction, StoreAction::dontCare);
    EXPECT_FLOAT_EQ(reinterpret_cast<const float*>(depth->row(0))[0], 0.0f); // not stored

    // storeDepth reaches the splat pass and rebuilds it at once.
    const auto before = h.renderer->gaussianSplatPass()->renderPipelineState();
    h.renderer->setStoreDepth(true);
    EXPECT_TRUE(h.renderer->gaussianSplatPass()->storeDepth);
    EXPECT_NE(h.renderer->gaussianSplatPass()->renderPipelineState(), before);
    EXPECT_TRUE(h.renderer->gaussianSplatPass()->depthState()->descriptor().depthWriteEnabled);
    EXPECT_EQ(drawFrame(depth).depthAttachment.storeAction, StoreAction::store);
    h.settle();
}

TEST(SimpleSRSplatRendererEncoding, NoQueueOrNoSplatsIsNoFrameAndOnlyTheFirstSetIsDrawn) {
    Harness<> h(24, 16, 48, 32);
    EXPECT_FALSE(h.frame()); // no splats
    SplatMemoryBuffer one, two;
    one.points = ball(7, 0.3f, 0.05f);
    two.points = ball(9, 0.3f, 0.05f);
    h.renderer->update(one, two);
    EXPECT_EQ(h.renderer->splatCount(), 7u);
    EXPECT_FALSE(h.renderer->render({h.view}, h.drawable, StoreAction::store, nullptr, nullptr, nullptr, 0, nullptr,
                                    nullptr));
    EXPECT_TRUE(h.device->committed().empty());
    h.renderer->reset();
    EXPECT_EQ(h.renderer->splatCount(), 0u);
    EXPECT_EQ(h.renderer->splatBufferManager.splatBuffer->capacity(), 1u);
    EXPECT_FALSE(h.frame());
}

TEST(SRPredictions, TheRingAdvancesAfterEachAndTheScreenShowsTheBufferAfterTheNextOneWritten) {
    Harness<> h(24, 16, 48, 32);
    EXPECT_EQ(h.network->loads, 1); // the renderer loads the model
    h.renderer->add(ball(30, 0.3f, 0.05f));
    const auto& ring = *h.renderer->srPixelBuffer();
    EXPECT_EQ(ring.numBuffers(), 3u);
    EXPECT_FALSE(ring.ready());

    h.frame();
    h.settle();
    EXPECT_EQ(h.network->predictions, 1);
    EXPECT_EQ(ring.currentBufferIndex(), 1u); // the first prediction wrote buffer 0
    EXPECT_TRUE(ring.ready());
    EXPECT_EQ(h.renderer->srTaskCount(), 0);
    // A frame's own prediction may end while the frame is still encoded: hold it until the screen
    // pass has chosen its texture.
    auto heldFrame = [&] {
        auto gate = std::make_shared<Gate>();
        h.network->before = [gate](const MLMultiArray&) { gate->wait(); };
        return std::make_pair(h.frame(), gate);
    };
    const auto [second, secondGate] = heldFrame();
    EXPECT_EQ(textureShown(*second), ring.textures()[2]); // not written yet: still white
    EXPECT_EQ(readImage(*h.drawable).rgba(24, 16), (std::array<int, 4>{255, 255, 255, 255}));
    secondGate->open();
    h.settle();
    EXPECT_EQ(ring.currentBufferIndex(), 2u);
    const auto [third, thirdGate] = heldFrame();
    EXPECT_EQ(textureShown(*third), ring.textures()[0]); // the first prediction's image
    EXPECT_NE(readImage(*h.drawable).rgba(24, 16), (std::array<int, 4>{255, 255, 255, 255}));
    thirdGate->open();
    h.settle();
    EXPECT_EQ(ring.currentBufferIndex(), 0u);
}

TEST(SRPredictions, AFailureIsPrintedAndLeavesTheRingAsItWas) {
    platform::log::Capture capture;
    Harness<SimpleSRSplatRenderer, ThrowingNetwork> h(24, 16, 48, 32);
    h.renderer->add(ball(30, 0.3f, 0.05f));
    h.frame();
    h.settle();
    EXPECT_EQ(h.network->predictions, 1);
    EXPECT_EQ(printedStartingWith(capture, "SR prediction failed: "),
              std::vector<std::string>{"SR prediction failed: network exploded"});
    EXPECT_EQ(h.renderer->srPixelBuffer()->currentBufferIndex(), 0u);
    EXPECT_FALSE(h.renderer->srPixelBuffer()->ready());
    EXPECT_EQ(h.renderer->srTaskCount(), 0);
    h.frame(); // the next frame tries again
    h.settle();
    EXPECT_EQ(h.network->predictions, 2);
}

TEST(SRPredictions, AFrameCompletingWhileOneIsPendingStartsNone) {
    Harness<> h(24, 16, 48, 32);
    Gate gate;
    h.network->before = [&](const MLMultiArray&) { gate.wait(); };
    h.renderer->add(ball(30, 0.3f, 0.05f));
    h.frame();
    gate.awaitArrival();
    EXPECT_EQ(h.renderer->srTaskCount(), 1);
    h.frame();
    h.frame();
    auto marker = h.queue->makeCommandBuffer();
    marker->commit();
    marker->waitUntilCompleted(); // both frames' offscreen work completed meanwhile
    gate.open();
    h.settle();
    EXPECT_EQ(h.network->predictions, 1);
    EXPECT_EQ(h.renderer->srPixelBuffer()->currentBufferIndex(), 1u);
    h.frame();
    h.settle();
    EXPECT_EQ(h.network->predictions, 2);
}

TEST(SRRobustness, ThePredictionReadsItsOwnCopyWhileLaterFramesPackNewInput) {
    Harness<> h(24, 16, 48, 32);
    Gate gate;
    std::vector<std::uint16_t> atStart, atEnd;
    const std::size_t halves = 8 * 24 * 16;
    h.network->before = [&](const MLMultiArray& input) {
        const auto* data = static_cast<const std::uint16_t*>(input.dataPointer());
        atStart.assign(data, data + halves);
        gate.wait();
        atEnd.assign(data, data + halves);
    };
    h.renderer->add(ball(30, 0.3f, 0.05f));
    h.frame();
    gate.awaitArrival();
    // The camera moves: the next frame packs different features into the renderer's input.
    h.view = cameraView(24, 16, 1.5f);
    h.frame();
    const auto* packed = reinterpret_cast<const std::uint16_t*>(h.renderer->srMultiChannelBuffer()->values());
    EXPECT_FALSE(std::equal(atStart.begin(), atStart.end(), packed));
    gate.open();
    h.settle();
    EXPECT_EQ(atEnd, atStart);
}

TEST(SRRobustness, ABufferAScreenPassStillShowsIsNotWrittenAndItsPredictionIsDropped) {
    Harness<> h(24, 16, 48, 32);
    h.renderer->add(ball(30, 0.3f, 0.05f));
    const auto& ring = *h.renderer->srPixelBuffer();
    h.frame();
    h.settle(); // index 1: screen passes now show texture 2
    // The frame's own prediction may finish while the frame is still being encoded: hold it at the
    // gate so the index stays put until the screen pass has chosen its texture.
    Gate gate;
    h.network->before = [&](const MLMultiArray&) { gate.wait(); };
    const auto held = h.frame(true);
    EXPECT_EQ(textureShown(*held), ring.textures()[2]);
    gate.open();
    h.settle(); // the second prediction wrote buffer 1: index 2
    EXPECT_EQ(ring.currentBufferIndex(), 2u);
    EXPECT_EQ(h.network->predictions, 2);
    // The next prediction would write buffer 2, which the held screen pass has yet to show.
    h.frame();
    h.settle();
    EXPECT_EQ(h.network->predictions, 2);
    EXPECT_EQ(ring.currentBufferIndex(), 2u);
    EXPECT_EQ(h.renderer->srTaskCount(), 0);
    held->commit();
    held->waitUntilCompleted();
    h.frame();
    h.settle();
    EXPECT_EQ(h.network->predictions, 3);
    EXPECT_EQ(ring.currentBufferIndex(), 0u);
}

TEST(SRRobustness, ANetworkWithoutAModelShowsNothingAndPrintsNothing) {
    platform::log::Capture capture;
    Harness<SimpleSRSplatRenderer, UnloadedNetwork> h(24, 16, 48, 32);
    EXPECT_EQ(h.network->loads, 1);
    h.renderer->add(ball(30, 0.3f, 0.05f));
    for (int i = 0; i < 3; ++i) {
        h.frame();
        h.settle();
    }
    EXPECT_EQ(h.network->predictions, 0);
    EXPECT_FALSE(h.renderer->srPixelBuffer()->ready());
    EXPECT_EQ(h.renderer->srPixelBuffer()->currentBufferIndex(), 0u);
    EXPECT_TRUE(capture.printed().empty());
}

TEST(SRRobustness, RingBuffersStartOpaqueWhite) {
    Harness<> h(24, 16, 48, 32);
    for (const auto& buffer : h.renderer->srPixelBuffer()->buffers()) {
        ASSERT_EQ(buffer->width(), 48u);
        ASSERT_EQ(buffer->height(), 32u);
        for (std::uint32_t y = 0; y < buffer->height(); ++y) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(buffer->baseAddress() + y * buffer->bytesPerRow());
            ASSERT_TRUE(std::all_of(row, row + 4 * buffer->width(), [](std::uint8_t b) { return b == 255; })) << y;
        }
    }
}

// Remembers the thread that destroyed it.
struct Counted : UpscalingNetwork {
    using UpscalingNetwork::UpscalingNetwork;
    ~Counted() override { destroyedOn = std::this_thread::get_id(); }
    inline static std::atomic<std::thread::id> destroyedOn{};
};

TEST(SRRobustness, TheLastReferenceMayGoWithThePredictionOnItsQueue) {
    auto device = makeDevice();
    auto queue = device->makeCommandQueue();
    Gate gate;
    auto network = std::make_shared<Counted>(24, 16);
    network->before = [&](const MLMultiArray&) { gate.wait(); };
    std::weak_ptr<Counted> watched = network;
    auto renderer = std::make_shared<SimpleSRSplatRenderer>(device, ColorFormat::RGB, PixelFormat::invalid,
                                                            PixelFormat::invalid, 1, 1, 3, std::move(network));
    renderer->add(ball(30, 0.3f, 0.05f));
    auto onscreen = renderer->render({cameraView(24, 16, 2)}, makeTarget(*device, 48, 32), StoreAction::store, nullptr,
                                     nullptr, nullptr, 0, nullptr, queue);
    onscreen->commit();
    onscreen->waitUntilCompleted();
    gate.awaitArrival();
    renderer.reset(); // the renderer goes while its prediction runs
    EXPECT_FALSE(watched.expired());
    gate.open();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!watched.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(watched.expired());
    EXPECT_NE(Counted::destroyedOn.load(), std::this_thread::get_id()); // released by the prediction
}

TEST(SRRobustness, TwoFeatureTexturesAreEnoughForAFrame) {
    Harness<> h(24, 16, 48, 32);
    h.device->refuseFeatureAfter = 2;
    h.renderer->add(ball(30, 0.3f, 0.05f));
    h.frame();
    h.settle();
    ASSERT_EQ(h.renderer->offscreenTextures().size(), 2u);
    const auto& pass = *lastOffscreen(*h.device)->encoders()[0]->renderPass;
    EXPECT_TRUE(pass.colorAttachments[1].texture);
    EXPECT_FALSE(pass.colorAttachments[2].texture);
    EXPECT_EQ(h.network->predictions, 1);
    // Channels 6 and 7 (the missing texture's) are 0.
    const auto* packed = reinterpret_cast<const std::uint16_t*>(h.renderer->srMultiChannelBuffer()->values());
    EXPECT_TRUE(std::all_of(packed + 6 * 24 * 16, packed + 8 * 24 * 16, [](std::uint16_t v) { return v == 0; }));
}

TEST(SRSplatRendererTwoSets, DrawsBothSetsCompositesThemAndNeedsBoth) {
    using TwoSets = Harness<SRSplatRenderer>;
    TwoSets h(24, 16, 48, 32);
    SplatMemoryBuffer left, right;
    left.points = ball(20, 0.2f, 0.05f, 1);
    right.points = ball(25, 0.2f, 0.05f, 2);
    h.renderer->update(left);
    EXPECT_FALSE(h.frame()); // set 2 is empty
    EXPECT_TRUE(h.device->committed().empty());

    h.device->refuseFeatureAfter = 8; // the third set gets two textures
    h.renderer->update(left, right);
    EXPECT_EQ(h.renderer->splatCount(), 20u);
    EXPECT_TRUE(h.frame());
    ASSERT_EQ(h.renderer->offscreenTextures3().size(), 2u);
    const auto offscreen = lastOffscreen(*h.device);
    std::vector<const EncoderRecord*> draws, composites, packing;
    for (const auto& e : offscreen->encoders())
        (e->label == "3DGS离屏Encoder" ? draws : e->label == "纹理拼接计算" ? composites : packing).push_back(e.get());
    ASSERT_EQ(draws.size(), 2u);
    EXPECT_EQ(draws[0]->renderPass->colorAttachments[0].texture, h.renderer->offscreenTextures1()[0]);
    EXPECT_EQ(draws[0]->commandsOf<command::DrawPrimitives>()[0]->instanceCount, 20u);
    EXPECT_EQ(draws[1]->renderPass->colorAttachments[0].texture, h.renderer->offscreenTextures2()[0]);
    EXPECT_EQ(draws[1]->commandsOf<command::DrawPrimitives>()[0]->instanceCount, 25u);
    ASSERT_EQ(composites.size(), 2u); // one per texture index all three sets have
    for (std::size_t i = 0; i < 2; ++i) {
        const auto textures = composites[i]->commandsOf<command::SetTexture>();
        EXPECT_EQ(textures[0]->texture, h.renderer->offscreenTextures1()[i]);
        EXPECT_EQ(textures[1]->texture, h.renderer->offscreenTextures2()[i]);
        EXPECT_EQ(textures[2]->texture, h.renderer->offscreenTextures3()[i]);
    }
    ASSERT_EQ(packing.size(), 1u);
    EXPECT_EQ(packing[0]->commandsOf<command::SetTexture>()[0]->texture, h.renderer->offscreenTextures3()[0]);
    h.settle();
    EXPECT_EQ(h.network->predictions, 1);

    h.renderer->reset();
    EXPECT_EQ(h.renderer->splatCount(), 0u);
    EXPECT_EQ(h.renderer->splatBufferManager2.splatBuffer->count, 0u);
    EXPECT_FALSE(h.frame());
}

// A ball of 60 splats of one colour and feature vector around `centre`.
SplatPointList featureBall(simd::float3 centre, const std::array<float, 8>& features, unsigned seed) {
    SplatPointList points = ball(60, 0.12f, 0.05f, seed);
    for (auto& p : points) {
        p.position = p.position + centre;
        p.color = SplatScenePoint::Color::SuperResolution(features);
    }
    return points;
}

// Runs frames until the drawable shows the first prediction; returns that prediction's input.
template <class Renderer>
std::vector<float> showFirstPrediction(Harness<Renderer>& h) {
    std::vector<float> input;
    h.network->before = [&input](const MLMultiArray& array) { // on the prediction's queue
        const auto* halves = static_cast<const std::uint16_t*>(array.dataPointer());
        input.resize(std::size_t(array.shape()[0] * array.strides()[0]));
        std::transform(halves, halves + input.size(), input.begin(), platform::gpu::halfToFloat);
    };
    for (int i = 0; i < 3; ++i) { // the third frame shows the first prediction
        h.frame();
        h.settle();
    }
    h.network->before = nullptr;
    return input;
}

TEST(SRSplatRendererTwoSets, TheCompositeShowsBothSetsAsOneRendererDrawsThemWithSetTwoInFront) {
    // Set 1 red, set 2 blue and nearer to the camera, each with a ball of its own and one that
    // overlaps the other set's: the network must see, and show, what the one-set renderer draws of
    // both sets together, where the depth order also puts set 2 over set 1, on the white background.
    const std::array<float, 8> red{0.9f, 0.1f, 0.1f, 0.3f, 0.5f, 0.7f, 0.2f, 0.4f};
    const std::array<float, 8> blue{0.1f, 0.2f, 0.9f, 0.6f, 0.1f, 0.8f, 0.9f, 0.3f};
    SplatMemoryBuffer back, front, both;
    back.points = featureBall({-0.7f, 0, -0.3f}, red, 1);
    for (const auto& p : featureBall({0, 0, -0.3f}, red, 2)) back.points.push_back(p);
    front.points = featureBall({0.7f, 0, 0.3f}, blue, 3);
    for (const auto& p : featureBall({0.12f, 0.05f, 0.3f}, blue, 4)) front.points.push_back(p);
    both.points = back.points;
    both.points.insert(both.points.end(), front.points.begin(), front.points.end());

    Harness<SRSplatRenderer> two(96, 64, 192, 128);
    two.renderer->update(back, front);
    const std::vector<float> composite = showFirstPrediction(two);
    Harness<> one(96, 64, 192, 128);
    one.renderer->update(both);
    const std::vector<float> together = showFirstPrediction(one);

    ASSERT_EQ(composite.size(), 8u * 96 * 64);
    ASSERT_EQ(together.size(), composite.size());
    float worstInput = 0;
    for (std::size_t i = 0; i < composite.size(); ++i) worstInput = std::max(worstInput, std::abs(composite[i] - together[i]));
    // Each set is stored in half floats before compositing; one set's front-to-back gathering
    // stops at 1/2048 transmittance.
    EXPECT_LE(worstInput, 4e-3f);

    const Image shown = readImage(*two.drawable), expected = readImage(*one.drawable);
    int worstOutput = 0, redShown = 0, blueShown = 0;
    for (std::uint32_t y = 0; y < shown.height; ++y)
        for (std::uint32_t x = 0; x < shown.width; ++x) {
            const auto got = shown.rgba(x, y), want = expected.rgba(x, y);
            for (int c = 0; c < 3; ++c) worstOutput = std::max(worstOutput, std::abs(got[c] - want[c]));
            redShown += got[0] - std::max(got[1], got[2]) > 60;
            blueShown += got[2] - std::max(got[0], got[1]) > 60;
        }
    EXPECT_LE(worstOutput, 2);
    EXPECT_GT(redShown, 200); // both sets reach the image
    EXPECT_GT(blueShown, 200);
}

TEST(SRSplatRendererTwoSets, AFailedFirstUpdateLeavesTheSecondSet) {
    // A device whose buffers hold at most 40 splats.
    SoftwareDeviceDescriptor small;
    small.maxBufferLength = 40 * sizeof(Splat);
    auto device = std::make_shared<SoftwareDevice>(small);
    SRSplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3,
                             std::make_shared<UpscalingNetwork>(4, 4));
    SplatMemoryBuffer fits, tooMany;
    fits.points = ball(10, 0.2f, 0.05f);
    tooMany.points = ball(41, 0.2f, 0.05f);
    renderer.update(fits, fits);
    EXPECT_THROW(renderer.update(tooMany, SplatMemoryBuffer{}), MetalBufferError);
    EXPECT_EQ(renderer.splatBufferManager2.splatBuffer->count, 10u);
}

TEST(SRRenderedFrame, ShowsTheDirectRenderersImageUpscaled) {
    // A head-sized cloud in front of the camera, rendered directly at the network's size and
    // through the SR road (upscaled 2x by the test network onto a drawable twice that size).
    constexpr std::uint32_t w = 64, hgt = 48;
    SplatMemoryBuffer head;
    head.points = ball(400, 0.35f, 0.04f);
    for (auto& p : head.points) p.position = {p.position.x, p.position.y * 1.2f, p.position.z}; // a little taller

    auto device = makeDevice();
    auto target = makeTarget(*device, w, hgt);
    SplatRenderer direct(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
    direct.update(head);
    renderFrame(direct, {cameraView(w, hgt, 2.0f)}, target);
    const Image expected = readImage(*target);

    Harness<> h(int(w), int(hgt), 2 * w, 2 * hgt);
    h.renderer->update(head);
    for (int i = 0; i < 3; ++i) { // the third frame shows the first prediction
        h.frame();
        h.settle();
    }
    const Image shown = readImage(*h.drawable);
    int worst = 0;
    double total = 0;
    int covered = 0;
    for (std::uint32_t y = 0; y < hgt; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const auto want = expected.rgba(x, y);
            covered += want[0] < 250 || want[1] < 250 || want[2] < 250;
            for (int c = 0; c < 3; ++c) {
                // Averaging each 2x2 block undoes the nearest upscale.
                const int sum = shown.rgba(2 * x, 2 * y)[c] + shown.rgba(2 * x + 1, 2 * y)[c] +
                                shown.rgba(2 * x, 2 * y + 1)[c] + shown.rgba(2 * x + 1, 2 * y + 1)[c];
                const int d = std::abs((sum + 2) / 4 - want[c]);
                worst = std::max(worst, d);
                total += d;
            }
        }
    EXPECT_GT(covered, int(w * hgt / 8)); // the head is in the picture
    // Features pass through half floats and stop composing below 1/2048 rather than 1/1024.
    EXPECT_LE(worst, 2);
    EXPECT_LT(total / (w * hgt * 3), 0.3);
}

TEST(SRRead, AppendsTheFilesPointsAndReportsTheirCount) {
    testsupport::TempDir dir;
    std::vector<ply_writer::DotSplatRecord> records(120);
    for (std::size_t i = 0; i < records.size(); ++i)
        records[i] = {{0.01f * i, 0, 0}, {0.05f, 0.05f, 0.05f}, {200, 100, 50, 255}, {255, 128, 128, 128}};
    ply_writer::writeDotSplat(dir / "cloud.splat", records);
    Harness<> h(24, 16, 48, 32);
    std::uint32_t loaded = 0;
    std::size_t countWhenLoaded = 0;
    h.renderer->onLoad = [&](std::uint32_t count) {
        loaded = count;
        countWhenLoaded = h.renderer->splatCount();
    };
    auto done = h.renderer->read(dir / "cloud.splat");
    ASSERT_TRUE(platform::dispatch::pumpMainUntil(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    done.get();
    EXPECT_EQ(loaded, 120u);
    EXPECT_EQ(countWhenLoaded, 120u);

    auto missing = h.renderer->read(dir / "missing.splat");
    ASSERT_TRUE(platform::dispatch::pumpMainUntil(
        [&] { return missing.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_ANY_THROW(missing.get());
    EXPECT_EQ(h.renderer->splatCount(), 120u);
}

} // namespace
