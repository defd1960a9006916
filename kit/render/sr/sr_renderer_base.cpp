#include "kit/render/sr/sr_renderer_base.hpp"

#include "kit/io/autodetect_scene_reader.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <stdexcept>

namespace MivoKit {

using namespace platform::gpu;

namespace {

// The view's drawable in super-resolution mode, which the screen pass draws into.
constexpr PixelFormat kDrawablePixelFormat = PixelFormat::bgra8Unorm_srgb;

} // namespace

SRRendererBase::SRRendererBase(std::shared_ptr<Device> device, ColorFormat pointColors, PixelFormat depthFormat,
                               PixelFormat stencilFormat, std::size_t sampleCount, std::size_t maxViewCount,
                               std::size_t maxSimultaneousRenders, std::shared_ptr<SRNetworkProtocol> srNetwork)
    : SplatRendererBase(device, PixelFormat::rgba16Float, pointColors, depthFormat, stencilFormat, sampleCount,
                        maxViewCount, maxSimultaneousRenders),
      srNetwork_(std::move(srNetwork)) {
    if (!srNetwork_) throw std::invalid_argument("a super-resolution renderer needs a network");
    gaussianSplatPass_ = std::make_unique<GaussianSplatRenderPass>(device, library(), colorFormat(), depthFormat,
                                                                   stencilFormat, sampleCount, maxViewCount,
                                                                   SplatBlendFactors{}, storeDepth());
    srComputePass_ = std::make_unique<SRComputePass>(device, library());
    screenRenderPass_ = std::make_unique<ScreenRenderPass>(device, library(), kDrawablePixelFormat, srNetwork_);
    srMultiChannelBuffer_ = std::make_shared<MetalBuffer<PackedSRHalf8>>(device, 1);
    // Without a model no prediction would produce an image.
    srNetwork_->loadModel();
    // The networks output twice their input size.
    srPixelBuffer_ = std::make_shared<SRPixelBuffer>(device, std::uint32_t(2 * srNetwork_->getWidth()),
                                                     std::uint32_t(2 * srNetwork_->getHeight()));
    predictor_ = std::make_shared<SRPredictor>(device, srNetwork_, srPixelBuffer_);
}

SRRendererBase::~SRRendererBase() = default;

void SRRendererBase::rebuildSplatPass() {
    if (!gaussianSplatPass_) return;
    gaussianSplatPass_->storeDepth = storeDepth();
    try {
        gaussianSplatPass_->setup();
    } catch (const std::runtime_error&) {
    }
}

void SRRendererBase::setStoreDepth(bool storeDepth) {
    if (exchangeStoreDepth(storeDepth)) rebuildSplatPass();
}

void SRRendererBase::setRenderFrontToBack(bool renderFrontToBack) {
    if (exchangeRenderFrontToBack(renderFrontToBack)) rebuildSplatPass();
}

std::future<void> SRRendererBase::read(std::filesystem::path url) {
    auto promise = std::make_shared<std::promise<void>>();
    std::future<void> future = promise->get_future();
    platform::dispatch::postBackground([this, url = std::move(url), promise, alive = std::weak_ptr<int>(alive_)] {
        auto scene = std::make_shared<SplatMemoryBuffer>();
        try {
            AutodetectSceneReader reader(url);
            scene->read(reader);
        } catch (...) {
            promise->set_exception(std::current_exception());
            return;
        }
        // The splats belong to the main thread, where the renderer also ends: checking `alive`
        // there cannot race with its destruction.
        platform::dispatch::postMain([this, scene, promise, alive] {
            if (!alive.lock()) return; // the promise breaks
            try {
                add(scene->points);
            } catch (...) {
                promise->set_exception(std::current_exception());
                return;
            }
            if (onLoad) onLoad(static_cast<std::uint32_t>(scene->points.size()));
            promise->set_value();
        });
    });
    return future;
}

std::shared_ptr<CommandBuffer> SRRendererBase::render(
    const std::vector<ViewportDescriptor>& viewports, std::shared_ptr<Texture> colorTexture,
    StoreAction colorStoreAction, std::shared_ptr<Texture> depthTexture, std::shared_ptr<Texture> stencilTexture,
    std::shared_ptr<RasterizationRateMap> rasterizationRateMap, std::uint32_t renderTargetArrayLength,
    std::shared_ptr<CommandBuffer>, std::shared_ptr<CommandQueue> commandQueue) {
    if (!commandQueue || !hasSplatsToDraw()) return nullptr;
    const auto views = beginFrame(viewports);
    sortSplats(cameraWorldForward());
    preparePasses();
    prepareTextures();

    auto offscreen = commandQueue->makeCommandBuffer();
    if (!offscreen) return nullptr;
    offscreen->setLabel("离屏渲染CommandBuffer");
    const auto& networkInput = encodeFeatures(
        *offscreen, {views, depthTexture, stencilTexture, colorStoreAction, renderTargetArrayLength, rasterizationRateMap});
    auto packed = encodeSRInput(*offscreen, networkInput);
    offscreen->addCompletedHandler([predictor = std::weak_ptr<SRPredictor>(predictor_), packed](CommandBuffer&) {
        if (auto p = predictor.lock()) p->start(packed);
    });
    offscreen->commit();

    auto onscreen = commandQueue->makeCommandBuffer();
    if (!onscreen) return nullptr;
    if (srPixelBuffer_->ready()) {
        onscreen->setLabel("上屏 commandBuffer");
        if (screenRenderPass_)
            screenRenderPass_->render(*onscreen, {std::move(colorTexture), srPixelBuffer_, colorStoreAction, clearColor});
    }
    return onscreen;
}

void SRRendererBase::preparePasses() {
    try {
        if (gaussianSplatPass_) gaussianSplatPass_->setup();
        if (auto* composite = compositePass()) composite->setup();
        if (srComputePass_) srComputePass_->setup();
        if (screenRenderPass_) screenRenderPass_->setup();
    } catch (const std::runtime_error&) {
        // The remaining passes keep the pipelines they had.
    }
}

std::vector<std::shared_ptr<Texture>> SRRendererBase::makeFeatureTextures() const {
    TextureDescriptor descriptor;
    descriptor.pixelFormat = colorFormat();
    descriptor.width = static_cast<std::uint32_t>(std::max(0, srNetwork_->getWidth()));
    descriptor.height = static_cast<std::uint32_t>(std::max(0, srNetwork_->getHeight()));
    descriptor.usage = TextureUsage::shaderRead | TextureUsage::shaderWrite | TextureUsage::renderTarget;
    std::vector<std::shared_ptr<Texture>> textures;
    for (int i = 0; i < 3; ++i)
        if (auto texture = device()->makeTexture(descriptor)) textures.push_back(std::move(texture));
    return textures;
}

void SRRendererBase::encodeSplats(CommandBuffer& commandBuffer, const SplatBufferManager& manager,
                                  const std::vector<std::shared_ptr<Texture>>& textures, const FrameTargets& targets) {
    if (!gaussianSplatPass_ || textures.empty()) return;
    gaussianSplatPass_->render(commandBuffer, {{targets.views.begin(), targets.views.end()}, dynamicUniformBuffers(),
                                               uniformBufferOffset(), &manager, textures, targets.depthTexture,
                                               targets.stencilTexture, clearColor, targets.colorStoreAction,
                                               targets.renderTargetArrayLength, targets.rasterizationRateMap});
}

std::shared_ptr<MetalBuffer<PackedSRHalf8>> SRRendererBase::encodeSRInput(
    CommandBuffer& commandBuffer, const std::vector<std::shared_ptr<Texture>>& textures) {
    if (!srComputePass_ || textures.empty()) return nullptr;
    const std::size_t records = std::size_t(textures[0]->width()) * textures[0]->height();
    if (srMultiChannelBuffer_->capacity() != records) {
        try {
            srMultiChannelBuffer_ = std::make_shared<MetalBuffer<PackedSRHalf8>>(device(), records);
        } catch (const MetalBufferError&) {
            return nullptr; // this frame feeds no prediction
        }
    }
    srComputePass_->compute(commandBuffer, {textures, srMultiChannelBuffer_});
    return srMultiChannelBuffer_;
}

} // namespace MivoKit
