#include "kit/view/mv_character_view.hpp"
#include "kit/render/sr/simple_sr_splat_renderer.hpp"
#include "kit/view/splat_2d_renderer.hpp"
#include "kit/render/splat_renderer.hpp"
#include "tests/kit/render/render_fixture.hpp"
#include "tests/support/ends_idle.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace MivoKit;

using namespace rendertest;
using namespace std::chrono_literals;

namespace {

// A GPU that holds committed command buffers until the test lets them run.
class HoldingDevice : public SoftwareDevice {
public:
    void enqueue(std::shared_ptr<CommandBuffer> commandBuffer) override {
        std::lock_guard lock(mutex_);
        held_.push_back(std::move(commandBuffer));
    }
    std::size_t held() const {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    // Lets the oldest held command buffer run to completion.
    void completeOne() {
        std::shared_ptr<CommandBuffer> next;
        {
            std::lock_guard lock(mutex_);
            if (held_.empty()) return;
            next = held_.front();
            held_.erase(held_.begin());
        }
        SoftwareDevice::enqueue(next);
        next->waitUntilCompleted();
    }
    void completeAll() {
        while (held() > 0) completeOne();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CommandBuffer>> held_;
};

// A player stand-in: one frame of a few splats and a camera that tests set.
struct FixedProvider : MvCharacterDataProvider {
    std::optional<Mivo::VideoFrame> frame;
    std::optional<Mivo::Transform> transform;
    std::shared_ptr<EyeTrackingLogic> eyes;
    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override { return frame; }
    std::optional<Mivo::Transform>& frameTransform() override { return transform; }
    std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() override { return eyes; }
};

std::shared_ptr<FixedProvider> providerWithSplats(float fovy) {
    auto provider = std::make_shared<FixedProvider>();
    SplatMemoryBuffer buffer;
    for (int i = 0; i < 5; ++i)
        buffer.points.push_back(point({0.1f * float(i), 0, 0}, {1, 0, 0}, 0.9f, {0.05f, 0.05f, 0.05f}));
    provider->frame.emplace(buffer, FlameFrameData());
    provider->transform = Mivo::Transform(translation(0, 0, 2), simd::float4x4::identity(), fovy);
    return provider;
}

// A player that publishes a new frame object, with the same splats, every time it is read: the
// draw loop converts and sorts them every time.
struct RepublishingProvider : FixedProvider {
    SplatPointList points;
    mutable std::optional<Mivo::VideoFrame> fresh;
    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override {
        SplatMemoryBuffer buffer;
        buffer.points = points;
        fresh.emplace(std::move(buffer), FlameFrameData());
        return fresh;
    }
};

struct DrawLoop {
    std::shared_ptr<GPUView> view = GPUView::make();
    std::shared_ptr<Splat2DRenderer> renderer;
};

DrawLoop makeLoop(std::shared_ptr<Device> device, std::shared_ptr<MvCharacterDataProvider> provider, RenderMode mode,
                  double width = 64, double height = 48) {
    DrawLoop loop;
    loop.view->setDevice(std::move(device));
    loop.renderer = Splat2DRenderer::make(loop.view, std::move(provider), mode,
                                          SRNetworkFactory::createNetwork(SRNetworkFactory::NetworkType::tolmira2023));
    loop.view->setDelegate(loop.renderer);
    loop.view->setDrawableSize(width, height);
    return loop;
}

} // namespace

TEST(RenderMode, IsMadeFromItsExactRawValues) {
    EXPECT_EQ(fromRaw<RenderMode>("SR"), RenderMode::SR);
    EXPECT_EQ(fromRaw<RenderMode>("Default"), RenderMode::Default);
    EXPECT_EQ(fromRaw<RenderMode>("sr"), std::nullopt);
    EXPECT_EQ(toRaw(RenderMode::SR), "SR");
}

TEST(Splat2DRenderer, ConfiguresTheViewPerModeAndSizesFramesByDrawableOrNetwork) {
    auto provider = providerWithSplats(0.5f);
    auto direct = makeLoop(makeDevice(), provider, RenderMode::Default, 1170, 2532);
    EXPECT_EQ(direct.view->colorPixelFormat, PixelFormat::bgra8Unorm);
    EXPECT_EQ(direct.view->depthStencilPixelFormat, PixelFormat::depth32Float);
    EXPECT_EQ(direct.view->clearColor, (ClearColor{1, 1, 1, 1}));
    EXPECT_TRUE(std::dynamic_pointer_cast<SplatRenderer>(direct.renderer->splatRenderer()));
    EXPECT_EQ(std::dynamic_pointer_cast<SplatRenderer>(direct.renderer->splatRenderer())->maxSimultaneousRenders(), 3u);
    EXPECT_EQ(direct.renderer->renderSize(), (std::pair<double, double>(1170, 2532)));

    // makeViewport for 1170 x 2532 with the camera pulled.
    direct.renderer->applyFrameTransform(provider->transform);
    const auto viewport = direct.renderer->makeViewport(1170, 2532);
    const float aspect = 1170.0f / 2532.0f;
    EXPECT_NEAR(aspect, 0.4620853f, 1e-7f);
    const auto expected = perspectiveMatrix(0.5f, aspect, 0.01f, 100.0f);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(viewport.projectionMatrix.columns[c], expected.columns[c]) << c;
    EXPECT_EQ(viewport.screenSize, (ScreenSize{1170, 2532}));
    EXPECT_EQ(viewport.viewport, (Viewport{0, 0, 1170, 2532, 0, 1}));
    const auto view = simd::inverse(translation(0, 0, 2));
    for (int c = 0; c < 4; ++c) EXPECT_EQ(viewport.viewMatrix.columns[c], view.columns[c]) << c;
    // Sizes that are not finite and non-negative never reach an integer.
    EXPECT_EQ(direct.renderer->makeViewport(std::nan(""), -3).screenSize, (ScreenSize{0, 0}));

    // A new drawable size changes only the size.
    direct.view->setDrawableSize(300, 200);
    EXPECT_EQ(direct.renderer->drawableSize(), (std::pair<double, double>(300, 200)));
    EXPECT_EQ(direct.renderer->fovyRadians(), 0.5f);

    auto sr = makeLoop(makeDevice(), provider, RenderMode::SR, 1170, 2532);
    EXPECT_EQ(sr.view->colorPixelFormat, PixelFormat::bgra8Unorm_srgb);
    EXPECT_TRUE(std::dynamic_pointer_cast<SimpleSRSplatRenderer>(sr.renderer->splatRenderer()));
    EXPECT_EQ(sr.renderer->renderSize(), (std::pair<double, double>(690, 798)));
    EXPECT_TRUE(testsupport::finishWork());
}

TEST(Splat2DRenderer, TheCameraPulledDuringADrawShapesTheNextDrawsProjection) {
    auto provider = providerWithSplats(0.5f);
    auto loop = makeLoop(makeDevice(), provider, RenderMode::Default);
    auto direct = std::dynamic_pointer_cast<SplatRenderer>(loop.renderer->splatRenderer());
    // First draw: the camera is not pulled yet (field of view 0), so nothing is drawn or presented.
    loop.view->draw();
    EXPECT_EQ(loop.renderer->fovyRadians(), 0.0f);
    platform::dispatch::pumpMain(); // the pulls run after the draw
    EXPECT_EQ(loop.renderer->fovyRadians(), 0.5f);
    EXPECT_EQ(direct->splatCount(), 5u);

    provider->transform->fovyRadians = 0.8f;
    loop.view->draw();
    const float aspect = 64.0f / 48.0f;
    const auto used = direct->uniforms()->uniforms0.projectionMatrix;
    EXPECT_EQ(used.columns[1], perspectiveMatrix(0.5f, aspect, 0.01f, 100.0f).columns[1]); // not yet 0.8
    platform::dispatch::pumpMain();
    EXPECT_EQ(loop.renderer->fovyRadians(), 0.8f);
    loop.view->draw();
    EXPECT_EQ(direct->uniforms()->uniforms0.projectionMatrix.columns[1],
              perspectiveMatrix(0.8f, aspect, 0.01f, 100.0f).columns[1]);
    ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return loop.view->presentedCount() == 2; }, platform::dispatch::Seconds(5)));
    EXPECT_EQ(loop.view->lastPresented()->drawNumber, 3u); // the first draw had no camera and presented nothing
    EXPECT_TRUE(testsupport::finishWork()); // the third draw's pulls
}

TEST(Splat2DRenderer, AtMostThreeFramesAreInFlightAndEveryDrawReleasesItsSlotOnce) {
    auto device = std::make_shared<HoldingDevice>();
    auto provider = providerWithSplats(0.5f);
    auto loop = makeLoop(device, provider, RenderMode::Default);
    loop.renderer->applyFrameTransform(provider->transform);

    // Without a drawable a draw neither waits nor takes a slot.
    loop.view->setDrawableAvailable(false);
    for (int i = 0; i < 5; ++i) loop.view->draw();
    loop.view->setDrawableAvailable(true);
    EXPECT_EQ(device->held(), 0u);

    for (int i = 0; i < 3; ++i) loop.view->draw();
    EXPECT_EQ(device->held(), 3u);
    EXPECT_EQ(loop.renderer->waitedDraws(), 0u);
    // The fourth draw waits until the GPU completes one frame.
    std::atomic<bool> completed{false};
    std::thread gpu([&] {
        std::this_thread::sleep_for(100ms);
        completed = true;
        device->completeOne();
    });
    loop.view->draw();
    EXPECT_TRUE(completed.load());
    EXPECT_EQ(loop.renderer->waitedDraws(), 1u);
    gpu.join();
    device->completeAll();
    // All slots are free again: three more draws go through without waiting.
    for (int i = 0; i < 3; ++i) loop.view->draw();
    EXPECT_EQ(loop.renderer->waitedDraws(), 1u);
    device->completeAll();
    EXPECT_TRUE(testsupport::finishWork());
}

TEST(Splat2DRenderer, SRModeWithoutSplatsPresentsNothingAndWithSplatsReleasesEverySlot) {
    auto device = std::make_shared<HoldingDevice>();
    auto empty = std::make_shared<FixedProvider>();
    empty->transform = providerWithSplats(0.5f)->transform;
    auto loop = makeLoop(device, empty, RenderMode::SR, 120, 140);
    loop.renderer->applyFrameTransform(empty->transform);
    // No splats: the SR renderer returns no command buffer; nothing is committed, slots come back.
    for (int i = 0; i < 6; ++i) loop.view->draw();
    platform::dispatch::pumpMain();
    EXPECT_EQ(device->held(), 0u);
    EXPECT_EQ(loop.view->presentedCount(), 0u);
    EXPECT_EQ(loop.renderer->waitedDraws(), 0u);

    // With splats the renderer returns its own on-screen buffer: its completion frees the slot.
    auto splats = makeLoop(makeDevice(), providerWithSplats(0.5f), RenderMode::SR, 120, 140);
    splats.view->draw(); // pulls the camera and the splats
    platform::dispatch::pumpMain();
    for (int i = 0; i < 12; ++i) {
        splats.view->draw();
        platform::dispatch::pumpMain();
    }
    EXPECT_TRUE(platform::dispatch::pumpMainUntil([&] { return splats.view->presentedCount() >= 1; }, platform::dispatch::Seconds(20)));
    // Once the GPU is idle all three slots are free: three draws in a row never wait. The device
    // runs buffers in commit order, handlers first, so an empty buffer's end means every slot is back.
    auto idle = splats.renderer->commandQueue()->makeCommandBuffer();
    idle->commit();
    idle->waitUntilCompleted();
    const auto waited = splats.renderer->waitedDraws();
    for (int i = 0; i < 3; ++i) splats.view->draw();
    EXPECT_EQ(splats.renderer->waitedDraws(), waited);
    EXPECT_TRUE(testsupport::finishWork());
}

TEST(Splat2DRenderer, AnUnchangedFrameAndCameraAreDrawnWithoutConvertingOrSortingAgainAndLookTheSame) {
    // Splats in pairs at one place with different colours: the image shows the order of equal depths.
    SplatPointList points = randomCloud(200, 11, 0.05f, 0.2f);
    for (int i = 0; i < 60; ++i) {
        SplatScenePoint twin = points[std::size_t(i)];
        twin.color = SplatScenePoint::Color::LinearFloat256{255, 255.0f * float(i % 2), 0};
        points.push_back(twin);
    }
    auto fixed = std::make_shared<FixedProvider>();
    SplatMemoryBuffer buffer;
    buffer.points = points;
    fixed->frame.emplace(std::move(buffer), FlameFrameData());
    fixed->transform = Mivo::Transform(translation(0, 0, 2.5f), simd::float4x4::identity(), 0.9f);
    auto republishing = std::make_shared<RepublishingProvider>();
    republishing->points = points;
    republishing->transform = fixed->transform;

    struct Run {
        DrawLoop loop;
        std::shared_ptr<SplatRenderer> renderer;
        std::mutex mutex;
        std::vector<PresentedImage> images;
        std::vector<std::vector<std::uint8_t>> records;
    };
    const auto start = [](Run& run, std::shared_ptr<MvCharacterDataProvider> provider) {
        run.loop = makeLoop(makeDevice(), std::move(provider), RenderMode::Default, 96, 80);
        run.renderer = std::dynamic_pointer_cast<SplatRenderer>(run.loop.renderer->splatRenderer());
        run.loop.view->addPresentationSink([&run](const PresentedImage& image) {
            std::lock_guard lock(run.mutex);
            run.images.push_back(image);
        });
    };
    Run kept, redone;
    start(kept, fixed);
    start(redone, republishing);
    constexpr int kDraws = 6;
    for (int draw = 0; draw < kDraws; ++draw) {
        for (Run* run : {&kept, &redone}) {
            run->loop.view->draw();
            platform::dispatch::pumpMain(); // the pulls
            const auto& drawn = *run->renderer->bufferManager.splatBuffer;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(drawn.values());
            run->records.emplace_back(bytes, bytes + drawn.count * sizeof(Splat));
        }
    }
    for (Run* run : {&kept, &redone}) {
        // The first draw had no camera yet; buffers complete in commit order, handlers first.
        auto last = run->loop.renderer->commandQueue()->makeCommandBuffer();
        last->commit();
        last->waitUntilCompleted();
    }
    EXPECT_EQ(kept.records, redone.records);
    ASSERT_EQ(kept.images.size(), std::size_t(kDraws - 1));
    ASSERT_EQ(redone.images.size(), kept.images.size());
    for (std::size_t i = 0; i < kept.images.size(); ++i) {
        EXPECT_EQ(kept.images[i].drawNumber, redone.images[i].drawNumber);
        EXPECT_TRUE(kept.images[i].rgba == redone.images[i].rgba) << "image " << i;
    }
    // Once the same frame has been converted and sorted, nothing is done again.
    EXPECT_EQ(kept.renderer->bufferManager.conversionsRun(), 1u);
    EXPECT_EQ(kept.renderer->bufferManager.sortsRun(), 1u);
    EXPECT_EQ(redone.renderer->bufferManager.conversionsRun(), std::uint64_t(kDraws));
    EXPECT_EQ(redone.renderer->bufferManager.sortsRun(), std::uint64_t(kDraws - 1));
    EXPECT_TRUE(testsupport::finishWork());
}
