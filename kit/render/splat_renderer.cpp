#include "kit/render/splat_renderer.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shader_library.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

using namespace platform::gpu;

SplatRenderer::SplatRenderer(std::shared_ptr<Device> device, ColorFormat colorFormat, PixelFormat depthFormat,
                             PixelFormat stencilFormat, std::size_t sampleCount, std::size_t maxViewCount,
                             std::size_t maxSimultaneousRenders)
    : bufferManager(device), device_(std::move(device)), _colorFormat_(colorFormat), depthFormat_(depthFormat),
      stencilFormat_(stencilFormat), sampleCount_(sampleCount), maxViewCount_(maxViewCount),
      maxSimultaneousRenders_(maxSimultaneousRenders) {
    if (maxViewCount_ < 1) throw Error(ErrorCode::invalidMaxViewCount, "maxViewCount must be at least 1");
    if (maxSimultaneousRenders_ < 1)
        throw Error(ErrorCode::invalidMaxSimultaneousRenders, "maxSimultaneousRenders must be at least 1");
    library_ = makeKitShaderLibrary(*device_);
    dynamicUniformBuffers_ = device_->makeBuffer(kUniformSlotSize * maxSimultaneousRenders_);
    if (!dynamicUniformBuffers_)
        throw Error(ErrorCode::uniformBufferCreationFailed, "Failed to create the uniform buffer");
    dynamicUniformBuffers_->setLabel("Uniform Buffer");
    uniforms_ = reinterpret_cast<UniformsArray*>(dynamicUniformBuffers_->contents());
}

void SplatRenderer::setStoreDepth(bool storeDepth) {
    if (storeDepth == storeDepth_) return;
    storeDepth_ = storeDepth;
    renderPipelineState_.reset();
    depthState_.reset();
}

void SplatRenderer::setRenderFrontToBack(bool renderFrontToBack) {
    if (renderFrontToBack == renderFrontToBack_) return;
    renderFrontToBack_ = renderFrontToBack;
    renderPipelineState_.reset();
    depthState_.reset();
}

void SplatRenderer::reset() {
    bufferManager.splatBuffer->count = 0;
    try {
        bufferManager.splatBuffer->ensureCapacity(0);
    } catch (const MetalBufferError&) {
    }
}

void SplatRenderer::update(const SplatMemoryBuffer& from) { bufferManager.update(from, _colorFormat_); }

void SplatRenderer::update(const SplatMemoryBuffer&, const SplatMemoryBuffer&) {}

void SplatRenderer::add(std::span<const SplatScenePoint> points) { bufferManager.add(points); }

void SplatRenderer::add(const SplatScenePoint& point) { bufferManager.add(std::span(&point, 1)); }

void SplatRenderer::updateBlendFactor(BlendFactor sourceRGB, BlendFactor sourceAlpha, BlendFactor destinationRGB,
                                      BlendFactor destinationAlpha) {
    const BlendFactor previous[4] = {sourceRGBBlendFactor_, sourceAlphaBlendFactor_, destinationRGBBlendFactor_,
                                     destinationAlphaBlendFactor_};
    sourceRGBBlendFactor_ = sourceRGB;
    sourceAlphaBlendFactor_ = sourceAlpha;
    destinationRGBBlendFactor_ = destinationRGB;
    destinationAlphaBlendFactor_ = destinationAlpha;
    try {
        renderPipelineState_ = buildRenderPipeline();
    } catch (const PipelineError&) {
        // Keep drawing, and rebuilding, with what worked before.
        sourceRGBBlendFactor_ = previous[0];
        sourceAlphaBlendFactor_ = previous[1];
        destinationRGBBlendFactor_ = previous[2];
        destinationAlphaBlendFactor_ = previous[3];
    }
}

std::shared_ptr<RenderPipelineState> SplatRenderer::buildRenderPipeline() {
    RenderPipelineDescriptor descriptor;
    descriptor.label = "3DGS渲染管线";
    descriptor.vertexFunction = makeRequiredFunction(*library_, "splatVertexShader");
    descriptor.fragmentFunction = makeRequiredFunction(*library_, "splatFragmentShader");
    descriptor.rasterSampleCount = sampleCount_;
    auto& color = descriptor.colorAttachments[0];
    color.pixelFormat = colorFormat_;
    color.blendingEnabled = true;
    color.rgbBlendOperation = BlendOperation::add;
    color.alphaBlendOperation = BlendOperation::add;
    color.sourceRGBBlendFactor = sourceRGBBlendFactor_;
    color.sourceAlphaBlendFactor = sourceAlphaBlendFactor_;
    color.destinationRGBBlendFactor = destinationRGBBlendFactor_;
    color.destinationAlphaBlendFactor = destinationAlphaBlendFactor_;
    descriptor.depthAttachmentPixelFormat = depthFormat_;
    descriptor.stencilAttachmentPixelFormat = stencilFormat_;
    descriptor.maxVertexAmplificationCount = static_cast<std::uint32_t>(maxViewCount_);
    return device_->makeRenderPipelineState(descriptor);
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
        descriptor.depthWriteEnabled = storeDepth_;
        depthState_ = device_->makeDepthStencilState(descriptor);
    }
}

void SplatRenderer::advanceUniformBuffer() {
    uniformBufferIndex_ = (uniformBufferIndex_ + 1) % maxSimultaneousRenders_;
    uniformBufferOffset_ = uniformBufferIndex_ * kUniformSlotSize;
    uniforms_ = reinterpret_cast<UniformsArray*>(dynamicUniformBuffers_->contents() + uniformBufferOffset_);
}

namespace {

std::uint32_t toScreenDimension(std::int64_t value) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace

void SplatRenderer::updateUniforms(std::span<const ViewportDescriptor> viewports) {
    for (std::size_t i = 0; i < viewports.size() && i < 2; ++i) {
        Uniforms& u = i == 0 ? uniforms_->uniforms0 : uniforms_->uniforms1;
        u.projectionMatrix = viewports[i].projectionMatrix;
        u.viewMatrix = viewports[i].viewMatrix;
        u.screenSize = {toScreenDimension(viewports[i].screenSize.width),
                        toScreenDimension(viewports[i].screenSize.height)};
    }
    simd::float3 positionSum{0, 0, 0}, forwardSum{0, 0, 0};
    for (const auto& v : viewports) {
        const simd::float4x4 inverseView = simd::inverse(v.viewMatrix);
        positionSum = positionSum + (inverseView * simd::float4{0, 0, 0, 1}).xyz();
        forwardSum = forwardSum + (inverseView * simd::float4{0, 0, -1, 0}).xyz();
    }
    if (viewports.empty()) {
        cameraWorldPosition_ = {0, 0, 0};
        cameraWorldForward_ = {0, 0, -1};
    } else {
        const float n = static_cast<float>(viewports.size());
        cameraWorldPosition_ = {positionSum.x / n, positionSum.y / n, positionSum.z / n};
        const simd::float3 mean{forwardSum.x / n, forwardSum.y / n, forwardSum.z / n};
        const float length = simd::length(mean);
        cameraWorldForward_ = {mean.x / length, mean.y / length, mean.z / length};
    }
    bufferManager.sortSplats(cameraWorldForward_);
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
    if (depthTexture) {
        pass.depthAttachment.texture = depthTexture;
        pass.depthAttachment.loadAction = LoadAction::clear;
        pass.depthAttachment.storeAction = storeDepth_ ? StoreAction::store : StoreAction::dontCare;
        pass.depthAttachment.clearDepth = 0.1;
    }
    if (stencilTexture) {
        pass.stencilAttachment.texture = stencilTexture;
        pass.stencilAttachment.loadAction = LoadAction::clear;
        pass.stencilAttachment.storeAction = StoreAction::dontCare;
        pass.stencilAttachment.clearStencil = 0;
    }
    pass.rasterizationRateMap = rasterizationRateMap;
    pass.renderTargetArrayLength = renderTargetArrayLength;

    auto encoder = commandBuffer.makeRenderCommandEncoder(pass);
    if (!encoder) fatalError("Failed to create render encoder");
    encoder->setLabel("Primary Render Encoder");
    std::vector<Viewport> gpuViewports;
    for (const auto& v : viewports) gpuViewports.push_back(v.viewport);
    encoder->setViewports(gpuViewports);
    if (viewports.size() >= 2) {
        std::vector<VertexAmplificationViewMapping> mappings;
        for (std::uint32_t i = 0; i < viewports.size(); ++i) mappings.push_back({i, i});
        encoder->setVertexAmplificationCount(static_cast<std::uint32_t>(viewports.size()), mappings);
    }
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
    // The pipeline amplifies to at most maxViewCount views; further views are not drawn.
    const std::span<const ViewportDescriptor> viewports(allViewports.data(),
                                                        std::min(allViewports.size(), maxViewCount_));
    advanceUniformBuffer();
    updateUniforms(viewports);
    buildDepthState();
    if (!renderPipelineState_ || !depthState_) return to;

    auto encoder = makeRenderEncoder(viewports, colorTexture, colorStoreAction, depthTexture, stencilTexture,
                                     rasterizationRateMap, renderTargetArrayLength, *to);
    encoder->pushDebugGroup("Draw Splat Model");
    encoder->setRenderPipelineState(renderPipelineState_);
    encoder->setDepthStencilState(depthState_);
    encoder->setVertexBuffer(dynamicUniformBuffers_, uniformBufferOffset_, 0);
    encoder->setVertexBuffer(bufferManager.splatBuffer->buffer(), 0, 1);
    encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4, static_cast<std::uint32_t>(splatCount()));
    encoder->popDebugGroup();
    encoder->endEncoding();
    return to;
}
