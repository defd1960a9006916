#include "platform/gpu/gpu_view.hpp"

#include "platform/dispatch/clock.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace gpu = platform::gpu;
using namespace std::chrono_literals;

namespace {

struct CountingDelegate : gpu::GPUViewDelegate {
    std::vector<std::pair<double, double>> sizes;
    int draws = 0;
    void drawableSizeWillChange(gpu::GPUView&, double width, double height) override { sizes.push_back({width, height}); }
    void draw(gpu::GPUView&) override { ++draws; }
};

void presentClear(gpu::GPUView& view, gpu::CommandQueue& queue, std::shared_ptr<gpu::Drawable> drawable,
                  gpu::ClearColor color) {
    auto commandBuffer = queue.makeCommandBuffer();
    gpu::RenderPassDescriptor pass;
    pass.colorAttachments[0].texture = drawable->texture();
    pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
    pass.colorAttachments[0].storeAction = gpu::StoreAction::store;
    pass.colorAttachments[0].clearColor = color;
    commandBuffer->makeRenderCommandEncoder(pass)->endEncoding();
    commandBuffer->present(std::move(drawable));
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    (void)view;
}

} // namespace

TEST(GPUView, DrawablesComeFromAPoolThatGrowsAsNeededAndNeverBlocks) {
    auto view = gpu::GPUView::make();
    EXPECT_FALSE(view->currentDrawable()); // no device
    view->setDevice(gpu::createSystemDefaultDevice());
    EXPECT_FALSE(view->currentDrawable()); // no size
    auto delegate = std::make_shared<CountingDelegate>();
    view->setDelegate(delegate);
    view->setDrawableSize(32, 16);
    view->setDrawableSize(32, 16);
    EXPECT_EQ(delegate->sizes, (std::vector<std::pair<double, double>>{{32, 16}}));

    // Four held at once: four made. Released, they are reused.
    std::vector<std::shared_ptr<gpu::Drawable>> held;
    for (int i = 0; i < 4; ++i) held.push_back(view->currentDrawable());
    EXPECT_EQ(view->drawablesMade(), 4u);
    EXPECT_EQ(held[0]->texture()->width(), 32u);
    held.clear();
    for (int i = 0; i < 3; ++i) held.push_back(view->currentDrawable());
    EXPECT_EQ(view->drawablesMade(), 4u);
    held.clear();

    view->setDrawableAvailable(false);
    EXPECT_FALSE(view->currentDrawable());
    view->setDrawableAvailable(true);
    view->setDrawableSize(std::nan(""), 16);
    EXPECT_FALSE(view->currentDrawable());
    view->setDrawableSize(0, 0);
    EXPECT_FALSE(view->currentDrawable());
    view->depthStencilPixelFormat = gpu::PixelFormat::depth32Float;
    EXPECT_FALSE(view->depthStencilTexture());
    view->setDrawableSize(20, 10);
    ASSERT_TRUE(view->depthStencilTexture());
    EXPECT_EQ(view->depthStencilTexture()->width(), 20u);
}

TEST(GPUView, PresentingKeepsTheLastImageAndFeedsEverySink) {
    auto view = gpu::GPUView::make();
    view->setDevice(gpu::createSystemDefaultDevice());
    view->setDrawableSize(4, 2);
    auto queue = view->device()->makeCommandQueue();
    std::vector<std::uint64_t> sunk;
    view->addPresentationSink([&](const gpu::PresentedImage& image) { sunk.push_back(image.number); });
    EXPECT_FALSE(view->lastPresented());
    presentClear(*view, *queue, view->currentDrawable(), {1, 0, 0, 1});
    presentClear(*view, *queue, view->currentDrawable(), {0, 0, 1, 1});
    const auto last = view->lastPresented();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->number, 2u);
    ASSERT_EQ(last->rgba.size(), 4u * 2 * 4);
    // RGBA order: blue.
    EXPECT_EQ(last->rgba[0], 0);
    EXPECT_EQ(last->rgba[2], 255);
    EXPECT_EQ(last->rgba[3], 255);
    EXPECT_EQ(sunk, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(last->drawNumber, 0u); // taken outside a draw
}

TEST(GPUView, TheDisplayLinkDrawsAtThePreferredRateOnTheMainQueue) {
    platform::dispatch::VirtualTime time;
    auto view = gpu::GPUView::make();
    auto delegate = std::make_shared<CountingDelegate>();
    view->setDelegate(delegate);
    view->preferredFramesPerSecond = 30;
    view->startDisplayLink();
    time.advance(1s);
    EXPECT_EQ(delegate->draws, 30);
    view->draw(); // by hand, as tests do
    EXPECT_EQ(delegate->draws, 31);
    view->stopDisplayLink();
    time.advance(1s);
    EXPECT_EQ(delegate->draws, 31);
}
