#include "kit/view/splat_2d_view.hpp"

namespace MivoKit {

std::shared_ptr<Splat2DView::Coordinator> Splat2DView::makeCoordinator() const { return std::make_shared<Coordinator>(); }

std::shared_ptr<platform::gpu::GPUView> Splat2DView::makeUIView(Coordinator& context) const {
    if (auto device = platform::gpu::createSystemDefaultDevice()) {
        mtkView->setDevice(device);
        context.renderer = Splat2DRenderer::make(mtkView, characterDataProvider, renderMode, srNetwork);
    }
    mtkView->setDelegate(context.renderer);
    mtkView->preferredFramesPerSecond = 30;
    return mtkView;
}

} // namespace MivoKit
