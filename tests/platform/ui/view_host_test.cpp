#include "platform/ui/view_host.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace MivoKit;

namespace gpu = platform::gpu;

namespace {

// Clears the drawable to one colour and presents it, as a draw loop would.
void presentClear(gpu::GPUView& view, gpu::CommandQueue& queue, gpu::ClearColor color) {
    auto drawable = view.currentDrawable();
    ASSERT_TRUE(drawable);
    auto commandBuffer = queue.makeCommandBuffer();
    gpu::RenderPassDescriptor pass;
    pass.colorAttachments[0].texture = drawable->texture();
    pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
    pass.colorAttachments[0].storeAction = gpu::StoreAction::store;
    pass.colorAttachments[0].clearColor = color;
    commandBuffer->makeRenderCommandEncoder(pass)->endEncoding();
    commandBuffer->present(drawable);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
}

} // namespace

TEST(ViewHost, AWindowWithoutADisplayShowsPresentedFramesAndResizesTheDrawable) {
    // CI runs without a display: SDL's offscreen video driver gives a window all the same.
    if (!std::getenv("SDL_VIDEODRIVER")) setenv("SDL_VIDEODRIVER", "offscreen", 1);
    auto view = gpu::GPUView::make();
    view->setDevice(gpu::createSystemDefaultDevice());
    std::string why;
    auto host = platform::ui::ViewHost::open(view, 64, 48, "test", why);
    ASSERT_TRUE(host) << why;
    EXPECT_EQ(view->drawableWidth(), 64);
    EXPECT_EQ(view->drawableHeight(), 48);

    auto queue = view->device()->makeCommandQueue();
    presentClear(*view, *queue, {1, 0, 0, 1});
    EXPECT_TRUE(host->pump());
    EXPECT_EQ(host->framesShown(), 1u);
    EXPECT_TRUE(host->pump()); // nothing new: nothing shown again
    EXPECT_EQ(host->framesShown(), 1u);

    host->resize(80, 60);
    for (int i = 0; i < 10 && view->drawableWidth() != 80; ++i) host->pump();
    EXPECT_EQ(view->drawableWidth(), 80);
    EXPECT_EQ(view->drawableHeight(), 60);
    presentClear(*view, *queue, {0, 1, 0, 1});
    host->pump();
    EXPECT_EQ(host->framesShown(), 2u);
    ASSERT_TRUE(view->lastPresented());
    EXPECT_EQ(view->lastPresented()->width, 80u);
}
