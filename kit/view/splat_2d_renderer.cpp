#include "kit/view/splat_2d_renderer.hpp"

#include "kit/model/camera_math.hpp"
#include "kit/render/fatal_error.hpp"
#include "kit/render/sr/simple_sr_splat_renderer.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/log/log.hpp"

#include <atomic>
#include <cmath>

namespace MivoKit {

using namespace platform::gpu;

namespace {

// Signals the semaphore the first time it is asked, whoever asks.
class SlotRelease {
public:
    explicit SlotRelease(std::shared_ptr<std::counting_semaphore<Splat2DRenderer::maxFramesInFlight>> semaphore)
        : semaphore_(std::move(semaphore)) {}
    void operator()() {
        if (!released_.exchange(true)) semaphore_->release();
    }

private:
    std::shared_ptr<std::counting_semaphore<Splat2DRenderer::maxFramesInFlight>> semaphore_;
    std::atomic<bool> released_{false};
};

// A size in pixels for the screen: finite, not negative, within what a texture can be.
std::int64_t screenPixels(double size) {
    if (!(size >= 0)) return 0;
    return static_cast<std::int64_t>(std::min(size, 16384.0));
}

} // namespace

std::shared_ptr<Splat2DRenderer> Splat2DRenderer::make(std::shared_ptr<GPUView> mtkView,
                                                       std::shared_ptr<MvCharacterDataProvider> characterDataProvider,
                                                       RenderMode renderMode,
                                                       std::shared_ptr<SRNetworkProtocol> srNetwork) {
    std::shared_ptr<Splat2DRenderer> renderer(new Splat2DRenderer());
    renderer->mtkView_ = mtkView;
    renderer->characterDataProvider_ = std::move(characterDataProvider);
    renderer->srNetwork_ = std::move(srNetwork);
    const auto& device = mtkView->device();
    if (!device) return nullptr;
    renderer->commandQueue_ = device->makeCommandQueue();
    if (!renderer->commandQueue_) return nullptr;

    mtkView->depthStencilPixelFormat = PixelFormat::depth32Float;
    mtkView->sampleCount = 1;
    mtkView->clearColor = {1, 1, 1, 1};
    mtkView->isOpaque = true;
    renderer->renderMode_ = renderMode;
    // The ring of uniform slots matches the frames that may be in flight.
    try {
        if (renderMode == RenderMode::Default) {
            mtkView->colorPixelFormat = PixelFormat::bgra8Unorm;
            renderer->splatRenderer_ = std::make_shared<SplatRenderer>(
                device, ColorFormat::RGB, mtkView->depthStencilPixelFormat, PixelFormat::invalid, mtkView->sampleCount,
                1, maxFramesInFlight);
        } else {
            mtkView->colorPixelFormat = PixelFormat::bgra8Unorm_srgb;
            renderer->splatRenderer_ = std::make_shared<SimpleSRSplatRenderer>(
                device, ColorFormat::RGB, mtkView->depthStencilPixelFormat, PixelFormat::invalid, mtkView->sampleCount,
                1, maxFramesInFlight, renderer->srNetwork_);
        }
    } catch (const std::exception& error) {
        fatalError(std::string("Failed to initialize SplatRenderer: ") + error.what());
    }
    return renderer;
}

void Splat2DRenderer::drawableSizeWillChange(GPUView&, double width, double height) {
    drawableWidth_ = width;
    drawableHeight_ = height;
}

std::pair<double, double> Splat2DRenderer::renderSize() const {
    if (renderMode_ == RenderMode::SR)
        return srNetwork_ ? std::pair<double, double>(srNetwork_->getWidth(), srNetwork_->getHeight())
                          : std::pair<double, double>(0, 0);
    return {drawableWidth_, drawableHeight_};
}

ModelRendererViewportDescriptor Splat2DRenderer::makeViewport(double width, double height) {
    ModelRendererViewportDescriptor descriptor;
    const float aspect = float(width) / float(height);
    descriptor.projectionMatrix = perspectiveMatrix(fovyRadians_, aspect, 0.01f, 100.0f);
    // The camera pull: the player's transform takes effect from the next frame on.
    platform::dispatch::postMain([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->applyFrameTransform(self->characterDataProvider_->frameTransform());
    });
    descriptor.viewMatrix = simd::inverse(translationMatrix_) * simd::inverse(rotationMatrix_);
    descriptor.viewport = {0, 0, width, height, 0, 1};
    descriptor.screenSize = {screenPixels(width), screenPixels(height)};
    return descriptor;
}

void Splat2DRenderer::applyFrameTransform(const std::optional<Mivo::Transform>& transform) {
    if (!transform) return;
    translationMatrix_ = transform->translation;
    rotationMatrix_ = transform->rotation;
    fovyRadians_ = transform->fovyRadians;
}

void Splat2DRenderer::draw(GPUView& view) {
    auto drawable = view.currentDrawable();
    if (!drawable) return;
    if (!inFlightSemaphore_->try_acquire()) {
        ++waitedDraws_;
        inFlightSemaphore_->acquire();
    }
    auto release = std::make_shared<SlotRelease>(inFlightSemaphore_);
    auto commandBuffer = commandQueue_->makeCommandBuffer();
    if (!commandBuffer) {
        (*release)();
        return;
    }
    commandBuffer->addCompletedHandler([release](CommandBuffer&) { (*release)(); });

    // The frame pull: the splats this draw renders are those earlier pulls delivered.
    platform::dispatch::postMain([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        const auto& frame = self->characterDataProvider_->currentVideoFrame();
        if (!frame) return;
        try {
            self->splatRenderer_->updateFromShared(frame->sharedBuffer());
        } catch (const std::exception& error) {
            platform::log::print(error.what());
        }
    });

    const auto [width, height] = renderSize();
    const ModelRendererViewportDescriptor viewport = makeViewport(width, height);
    // Before the first camera pull the field of view is 0, and an empty size has no aspect: such a
    // frame would project to infinities, so it draws nothing.
    const float aspect = float(width) / float(height);
    if (!(fovyRadians_ > 0) || !std::isfinite(aspect) || !(aspect > 0)) {
        (*release)();
        return;
    }
    const std::vector<ViewportDescriptor> viewports{
        {viewport.viewport, viewport.projectionMatrix, viewport.viewMatrix, viewport.screenSize}};
    auto colorTexture = view.multisampleColorTexture();
    const auto storeAction = colorTexture ? StoreAction::multisampleResolve : StoreAction::store;
    if (!colorTexture) colorTexture = drawable->texture();

    auto returned = splatRenderer_->render(viewports, colorTexture, storeAction, view.depthStencilTexture(), nullptr,
                                           nullptr, 0, commandBuffer, commandQueue_);
    if (!returned) {
        (*release)();
        return;
    }
    if (returned != commandBuffer) returned->addCompletedHandler([release](CommandBuffer&) { (*release)(); });
    returned->present(drawable);
    returned->commit();
}

} // namespace MivoKit
