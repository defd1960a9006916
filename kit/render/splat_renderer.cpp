#include "kit/render/splat_renderer.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shader_library.hpp"

namespace MivoKit {

using namespace platform::gpu;

// The draw loop gives this renderer 8-bit BGRA drawables.
SplatRenderer::SplatRenderer(std::shared_ptr<Device> device, ColorFormat colorFormat, PixelFormat depthFormat,
                             PixelFormat stencilFormat, std::size_t sampleCount, std::size_t maxViewCount,
                             std::size_t maxSimultaneousRenders)
    : SplatRendererBase(device, PixelFormat::bgra8Unorm, colorFormat, depthFormat, stencilFormat, sampleCount,
                        maxViewCount, maxSimultaneousRenders),
      bufferManager(device) {}

void SplatRenderer::dropStates() {
    renderPipelineState_.reset();
    depthState_.reset();
}

void SplatRenderer::setStoreDepth(bool storeDepth) {
    if (exchangeStoreDepth(storeDepth)) dropStates();
}

void SplatRenderer::setRenderFrontToBack(bool renderFrontToBack) {
    if (exchangeRenderFrontToBack(renderFrontToBack)) dropStates();
}

void SplatRenderer::reset() { bufferManager.reset(); }

void SplatRenderer::update(const SplatMemoryBuffer& from) { bufferManager.update(from, _colorFormat()); }

void SplatRenderer::updateFromShared(const std::shared_ptr<const SplatMemoryBuffer>& from) {
    bufferManager.update(from, _colorFormat());
}

void SplatRenderer::update(const SplatMemoryBuffer&, const SplatMemoryBuffer&) {}

void SplatRenderer::add(std::span<const SplatScenePoint> points) { bufferManager.add(points); }

void SplatRenderer::add(const SplatScenePoint& point) { bufferManager.add(std::span(&point, 1)); }

void SplatRenderer::updateBlendFactor(BlendFactor sourceRGB, BlendFactor sourceAlpha, BlendFactor destinationRGB,
                                      BlendFactor destinationAlpha) {
    const SplatBlendFactors previous = blendFactors_;
    blendFactors_ = {sourceRGB, sourceAlpha, destinationRGB, destinationAlpha};
    try {
        renderPipelineState_ = buildRenderPipeline();
    } catch (const PipelineError&) {
        blendFactors_ = previous; // keep drawing, and rebuilding, with what worked before
    }
}

std::shared_ptr<RenderPipelineState> SplatRenderer::buildRenderPipeline() {
    const SplatPipelineFormats formats{colorFormat(), 1, depthFormat(), stencilFormat(), sampleCount(), maxViewCount()};
    return device()->makeRenderPipelineState(
        splatPipelineDescriptor(*library(), "splatVertexShader", "splatFragmentShader", formats, blendFactors_));
}

void SplatRenderer::buildDepthState() {
    if (!renderPipelineState_) {
        try {
            renderPipelineState_ = buildRenderPipeline();
        } catch (const PipelineError&) {
            return; // retried on the next frame
        }
    }
    if (!depthState_) {
        DepthStencilDescriptor descriptor;
        descriptor.depthCompareFunction = CompareFunction::always;
        descriptor.depthWriteEnabled = storeDepth();
        depthState_ = device()->makeDepthStencilState(descriptor);
    }
}

std::shared_ptr<RenderCommandEncoder> SplatRenderer::makeRenderEncoder(
    std::span<const ViewportDescriptor> viewports, const std::shared_ptr<Texture>& colorTexture,
    StoreAction colorStoreAction, const std::shared_ptr<Texture>& depthTexture,
    const std::shared_ptr<Texture>& stencilTexture, const std::shared_ptr<RasterizationRateMap>& rasterizationRateMap,
    std::uint32_t renderTargetArrayLength, CommandBuffer& commandBuffer) {
    RenderPassDescriptor pass;
    auto& color = pass.colorAttachments[0];
    color.texture = colorTexture;
    color.loadAction = LoadAction::clear;
    color.storeAction = colorStoreAction;
    color.clearColor = {clearColor_.red * clearColor_.alpha, clearColor_.green * clearColor_.alpha,
                        clearColor_.blue * clearColor_.alpha, clearColor_.alpha};
    attachDepthAndStencil(pass, depthTexture, stencilTexture, storeDepth());
    pass.rasterizationRateMap = rasterizationRateMap;
    pass.renderTargetArrayLength = renderTargetArrayLength;

    auto encoder = commandBuffer.makeRenderCommandEncoder(pass);
    if (!encoder) fatalError("Failed to create render encoder");
    encoder->setLabel("Primary Render Encoder");
    setSplatViews(*encoder, viewports);
    return encoder;
}

std::shared_ptr<CommandBuffer> SplatRenderer::render(const std::vector<ViewportDescriptor>& allViewports,
                                                     std::shared_ptr<Texture> colorTexture,
                                                     StoreAction colorStoreAction, std::shared_ptr<Texture> depthTexture,
                                                     std::shared_ptr<Texture> stencilTexture,
                                                     std::shared_ptr<RasterizationRateMap> rasterizationRateMap,
                                                     std::uint32_t renderTargetArrayLength,
                                                     std::shared_ptr<CommandBuffer> to, std::shared_ptr<CommandQueue>) {
    if (splatCount() == 0 || !to) return to;
    const std::span<const ViewportDescriptor> viewports = beginFrame(allViewports);
    bufferManager.sortSplats(cameraWorldForward());
    buildDepthState();
    if (!renderPipelineState_ || !depthState_) return to;

    auto encoder = makeRenderEncoder(viewports, colorTexture, colorStoreAction, depthTexture, stencilTexture,
                                     rasterizationRateMap, renderTargetArrayLength, *to);
    encoder->pushDebugGroup("Draw Splat Model");
    encoder->setRenderPipelineState(renderPipelineState_);
    encoder->setDepthStencilState(depthState_);
    encoder->setVertexBuffer(dynamicUniformBuffers(), uniformBufferOffset(), 0);
    encoder->setVertexBuffer(bufferManager.splatBuffer->buffer(), 0, 1);
    encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4, static_cast<std::uint32_t>(splatCount()));
    encoder->popDebugGroup();
    encoder->endEncoding();
    return to;
}

} // namespace MivoKit
