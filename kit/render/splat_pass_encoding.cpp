#include "kit/render/splat_pass_encoding.hpp"

#include "kit/render/shader_library.hpp"

#include <vector>

namespace MivoKit {

using namespace platform::gpu;

RenderPipelineDescriptor splatPipelineDescriptor(const Library& library, const std::string& vertexName,
                                                 const std::string& fragmentName, const SplatPipelineFormats& formats,
                                                 const SplatBlendFactors& factors) {
    RenderPipelineDescriptor descriptor;
    descriptor.label = "3DGS渲染管线";
    descriptor.vertexFunction = makeRequiredFunction(library, vertexName);
    descriptor.fragmentFunction = makeRequiredFunction(library, fragmentName);
    descriptor.rasterSampleCount = formats.sampleCount;
    for (std::size_t i = 0; i < formats.colorAttachmentCount && i < kMaxColorAttachments; ++i) {
        auto& color = descriptor.colorAttachments[i];
        color.pixelFormat = formats.color;
        color.blendingEnabled = true;
        color.rgbBlendOperation = BlendOperation::add;
        color.alphaBlendOperation = BlendOperation::add;
        color.sourceRGBBlendFactor = factors.sourceRGB;
        color.sourceAlphaBlendFactor = factors.sourceAlpha;
        color.destinationRGBBlendFactor = factors.destinationRGB;
        color.destinationAlphaBlendFactor = factors.destinationAlpha;
    }
    descriptor.depthAttachmentPixelFormat = formats.depth;
    descriptor.stencilAttachmentPixelFormat = formats.stencil;
    descriptor.maxVertexAmplificationCount = static_cast<std::uint32_t>(formats.maxViewCount);
    return descriptor;
}

void attachDepthAndStencil(RenderPassDescriptor& pass, const std::shared_ptr<Texture>& depth,
                           const std::shared_ptr<Texture>& stencil, bool storeDepth) {
    if (depth) {
        pass.depthAttachment.texture = depth;
        pass.depthAttachment.loadAction = LoadAction::clear;
        pass.depthAttachment.storeAction = storeDepth ? StoreAction::store : StoreAction::dontCare;
        pass.depthAttachment.clearDepth = 0.1;
    }
    if (stencil) {
        pass.stencilAttachment.texture = stencil;
        pass.stencilAttachment.loadAction = LoadAction::clear;
        pass.stencilAttachment.storeAction = StoreAction::dontCare;
        pass.stencilAttachment.clearStencil = 0;
    }
}

void setSplatViews(RenderCommandEncoder& encoder, std::span<const ViewportDescriptor> views) {
    std::vector<Viewport> viewports;
    for (const auto& v : views) viewports.push_back(v.viewport);
    encoder.setViewports(viewports);
    if (views.size() >= 2) {
        std::vector<VertexAmplificationViewMapping> mappings;
        for (std::uint32_t i = 0; i < views.size(); ++i) mappings.push_back({i, i});
        encoder.setVertexAmplificationCount(static_cast<std::uint32_t>(views.size()), mappings);
    }
}

} // namespace MivoKit
