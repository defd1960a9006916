#pragma once
// The parts of a splat draw's pipeline and render pass that the direct renderer and the offscreen
// splat pass build alike.

#include "kit/render/splat.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/pipeline.hpp"

#include <memory>
#include <span>
#include <string>

namespace MivoKit {

// How splat fragments blend into every colour attachment (RGB and alpha operations add); the
// defaults blend premultiplied colour over what is there.
struct SplatBlendFactors {
    platform::gpu::BlendFactor sourceRGB = platform::gpu::BlendFactor::one;
    platform::gpu::BlendFactor sourceAlpha = platform::gpu::BlendFactor::one;
    platform::gpu::BlendFactor destinationRGB = platform::gpu::BlendFactor::oneMinusSourceAlpha;
    platform::gpu::BlendFactor destinationAlpha = platform::gpu::BlendFactor::oneMinusSourceAlpha;
};

struct SplatPipelineFormats {
    platform::gpu::PixelFormat color;
    std::size_t colorAttachmentCount = 1;
    platform::gpu::PixelFormat depth;
    platform::gpu::PixelFormat stencil;
    std::size_t sampleCount = 1;
    std::size_t maxViewCount = 1;
};

// The pipeline "3DGS渲染管线" of the library's functions `vertexName` and `fragmentName` (a missing
// one stops the program), with colour attachments 0 ..< formats.colorAttachmentCount blending
// with `factors`.
platform::gpu::RenderPipelineDescriptor splatPipelineDescriptor(const platform::gpu::Library& library,
                                                                const std::string& vertexName,
                                                                const std::string& fragmentName,
                                                                const SplatPipelineFormats& formats,
                                                                const SplatBlendFactors& factors);

// Attaches `depth` (cleared to 0.1, stored only when `storeDepth`) and `stencil` (cleared to 0,
// not stored), each only when given.
void attachDepthAndStencil(platform::gpu::RenderPassDescriptor& pass, const std::shared_ptr<platform::gpu::Texture>& depth,
                           const std::shared_ptr<platform::gpu::Texture>& stencil, bool storeDepth);

// Sets the views' viewports, in order; with two or more views, amplifies each draw to one view
// per viewport, view i going to viewport i and render-target slice i.
void setSplatViews(platform::gpu::RenderCommandEncoder& encoder, std::span<const ViewportDescriptor> views);

} // namespace MivoKit
