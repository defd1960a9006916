#include "kit/render/sr/screen_render_pass.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shader_library.hpp"

#include <cstring>

namespace MivoKit {

using namespace platform::gpu;

ScreenRenderPass::ScreenRenderPass(std::shared_ptr<Device> device, std::shared_ptr<Library> library,
                                   PixelFormat colorFormat, std::shared_ptr<SRNetworkProtocol> srNetwork)
    : device_(std::move(device)), library_(std::move(library)), colorFormat_(colorFormat),
      srNetwork_(std::move(srNetwork)) {}

void ScreenRenderPass::setup() {
    RenderPipelineDescriptor descriptor;
    descriptor.label = "纹理上屏渲染";
    descriptor.vertexFunction = makeRequiredFunction(*library_, "texture2ScreenVertexShader");
    descriptor.fragmentFunction = makeRequiredFunction(*library_, "texture2ScreenFragmentShader");
    descriptor.colorAttachments[0].pixelFormat = colorFormat_;
    texture2ScreenPipelineState_ = device_->makeRenderPipelineState(descriptor);
}

std::array<float, 2> ScreenRenderPass::scalePair(std::uint32_t textureWidth, int networkWidth, int networkHeight) {
    const float r = float(textureWidth) / float(networkWidth);
    // The network's aspect first, then r: (r * Hn) / Wn rounds differently in single precision.
    return {r, r * (float(networkHeight) / float(networkWidth))};
}

void ScreenRenderPass::render(CommandBuffer& commandBuffer, const ScreenRenderData& data) {
    if (!texture2ScreenPipelineState_ || !data.srPixelBuffer || !data.srPixelBuffer->ready()) return;
    RenderPassDescriptor pass;
    auto& color = pass.colorAttachments[0];
    color.texture = data.colorTexture;
    color.loadAction = LoadAction::clear;
    color.storeAction = data.colorStoreAction;
    color.clearColor = data.clearColor;
    auto encoder = commandBuffer.makeRenderCommandEncoder(pass);
    if (!encoder) fatalError("Failed to create screen render encoder");
    encoder->setLabel("纹理上屏渲染");
    encoder->pushDebugGroup("纹理上屏渲染");
    encoder->setRenderPipelineState(texture2ScreenPipelineState_);
    data.srPixelBuffer->bindTextureToShow(*encoder, 0);

    // The full-screen strip, clip-space (x, y, z, w) per corner.
    static constexpr float kCorners[16] = {-1, -1, 0, 1, 1, -1, 0, 1, -1, 1, 0, 1, 1, 1, 0, 1};
    if (auto corners = device_->makeBuffer(sizeof kCorners)) {
        std::memcpy(corners->contents(), kCorners, sizeof kCorners);
        encoder->setVertexBuffer(corners, 0, 0);
        const auto scale = scalePair(data.colorTexture->width(), srNetwork_->getWidth(), srNetwork_->getHeight());
        encoder->setVertexBytes(scale.data(), sizeof scale, 1);
        const std::array<float, 2> targetSize{float(data.colorTexture->width()), float(data.colorTexture->height())};
        encoder->setVertexBytes(targetSize.data(), sizeof targetSize, 2);
        encoder->drawPrimitives(PrimitiveType::triangleStrip, 0, 4);
    }
    encoder->popDebugGroup();
    encoder->endEncoding();
}

} // namespace MivoKit
