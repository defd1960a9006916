#include "kit/render/sr/gaussian_splat_render_pass.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shaders/sr_splat_shaders.hpp"

namespace MivoKit {

using namespace platform::gpu;

GaussianSplatRenderPass::GaussianSplatRenderPass(std::shared_ptr<Device> device, std::shared_ptr<Library> library,
                                                 PixelFormat colorFormat, PixelFormat depthFormat,
                                                 PixelFormat stencilFormat, std::size_t sampleCount,
                                                 std::size_t maxViewCount, SplatBlendFactors blendFactors,
                                                 bool storeDepth)
    : storeDepth(storeDepth), device_(std::move(device)), library_(std::move(library)), colorFormat_(colorFormat),
      depthFormat_(depthFormat), stencilFormat_(stencilFormat), sampleCount_(sampleCount),
      maxViewCount_(maxViewCount), blendFactors_(blendFactors) {}

std::shared_ptr<RenderPipelineState> GaussianSplatRenderPass::buildPipelineState() {
    const SplatPipelineFormats formats{colorFormat_, shaders::kSRSplatAttachmentCount, depthFormat_, stencilFormat_,
                                       sampleCount_, maxViewCount_};
    return device_->makeRenderPipelineState(
        splatPipelineDescriptor(*library_, "SRSplatVertexShader", "SRSplatFragmentShader", formats, blendFactors_));
}

void GaussianSplatRenderPass::setup() {
    renderPipelineState_ = buildPipelineState();
    DepthStencilDescriptor descriptor;
    descriptor.depthCompareFunction = CompareFunction::always;
    descriptor.depthWriteEnabled = storeDepth;
    depthState_ = device_->makeDepthStencilState(descriptor);
}

ClearColor GaussianSplatRenderPass::attachmentClearColor(std::size_t index) {
    return index == 0 ? ClearColor{1, 1, 1, 0} : ClearColor{0, 0, 0, 0};
}

namespace {

bool sameSize(const std::shared_ptr<Texture>& texture, const Texture& reference) {
    return texture && texture->width() == reference.width() && texture->height() == reference.height();
}

} // namespace

std::shared_ptr<RenderCommandEncoder> GaussianSplatRenderPass::makeOffscreenRenderEncoder(
    const GaussianSplatRenderData& data, CommandBuffer& commandBuffer) {
    RenderPassDescriptor pass;
    for (std::size_t i = 0; i < data.outputTextures.size() && i < kMaxColorAttachments; ++i) {
        auto& color = pass.colorAttachments[i];
        color.texture = data.outputTextures[i];
        color.loadAction = LoadAction::clear;
        color.storeAction = StoreAction::store;
        color.clearColor = attachmentClearColor(i);
    }
    const Texture* reference = data.outputTextures.empty() ? nullptr : data.outputTextures[0].get();
    const auto fits = [&](const std::shared_ptr<Texture>& t) { return !reference || sameSize(t, *reference) ? t : nullptr; };
    attachDepthAndStencil(pass, fits(data.depthTexture), fits(data.stencilTexture), storeDepth);
    pass.rasterizationRateMap = data.rasterizationRateMap;
    pass.renderTargetArrayLength = data.renderTargetArrayLength;

    auto encoder = commandBuffer.makeRenderCommandEncoder(pass);
    if (!encoder) fatalError("Failed to create offscreen render encoder");
    encoder->setLabel("3DGS离屏Encoder");
    setSplatViews(*encoder, data.viewports);
    return encoder;
}

void GaussianSplatRenderPass::render(CommandBuffer& commandBuffer, const GaussianSplatRenderData& data) {
    if (!renderPipelineState_ || !depthState_ || !data.splatBufferManager) return;
    auto encoder = makeOffscreenRenderEncoder(data, commandBuffer);
    const MetalBuffer<Splat>& splats = *data.splatBufferManager->splatBuffer;
    encoder->pushDebugGroup("3DGS超分渲染");
    encoder->setRenderPipelineState(renderPipelineState_);
    encoder->setDepthStencilState(depthState_);
    encoder->setVertexBuffer(data.uniformBuffer, data.uniformBufferOffset, 0);
    encoder->setVertexBuffer(splats.buffer(), 0, 1);
    encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4, static_cast<std::uint32_t>(splats.count));
    encoder->popDebugGroup();
    encoder->endEncoding();
}

} // namespace MivoKit
