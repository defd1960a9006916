#pragma once
// The offscreen splat pass of the super-resolution renderers: draws the sorted splats into a set
// of feature textures at the network's size, one colour attachment per texture, with the
// "SRSplatVertexShader" / "SRSplatFragmentShader" pair (shaders/sr_splat_shaders.hpp). Attachment
// 0 is cleared to (1, 1, 1, 0), every other one to (0, 0, 0, 0), whatever the record's clear
// colour; all are stored.

#include "kit/render/sr/render_pass.hpp"
#include "kit/render/splat_buffer_manager.hpp"
#include "kit/render/splat_pass_encoding.hpp"

#include <memory>
#include <vector>

namespace MivoKit {

struct GaussianSplatRenderData {
    std::vector<ViewportDescriptor> viewports;
    std::shared_ptr<platform::gpu::Buffer> uniformBuffer;
    std::size_t uniformBufferOffset = 0;
    const SplatBufferManager* splatBufferManager = nullptr;
    std::vector<std::shared_ptr<platform::gpu::Texture>> outputTextures;
    std::shared_ptr<platform::gpu::Texture> depthTexture;
    std::shared_ptr<platform::gpu::Texture> stencilTexture;
    platform::gpu::ClearColor clearColor;        // not read: the pass clears to fixed values
    platform::gpu::StoreAction colorStoreAction; // not read: the pass stores every attachment
    std::uint32_t renderTargetArrayLength = 0;
    std::shared_ptr<platform::gpu::RasterizationRateMap> rasterizationRateMap;
};

class GaussianSplatRenderPass {
public:
    using InputData = GaussianSplatRenderData;

    GaussianSplatRenderPass(std::shared_ptr<platform::gpu::Device> device,
                            std::shared_ptr<platform::gpu::Library> library, platform::gpu::PixelFormat colorFormat,
                            platform::gpu::PixelFormat depthFormat, platform::gpu::PixelFormat stencilFormat,
                            std::size_t sampleCount, std::size_t maxViewCount, SplatBlendFactors blendFactors,
                            bool storeDepth);

    // Builds the pipeline and then the depth state (compare always, writes when storeDepth). The
    // device's PipelineError is thrown and leaves both states as they were.
    void setup();
    std::shared_ptr<platform::gpu::RenderPipelineState> buildPipelineState();
    // Encodes the draw when both states exist.
    void render(platform::gpu::CommandBuffer& commandBuffer, const GaussianSplatRenderData& data);
    // Stops the program with "Failed to create offscreen render encoder" when the command buffer
    // makes none. Colour attachments past the device's are left out, and a depth or stencil
    // texture whose size differs from the first output texture's is ignored (the drawable's may).
    std::shared_ptr<platform::gpu::RenderCommandEncoder> makeOffscreenRenderEncoder(
        const GaussianSplatRenderData& data, platform::gpu::CommandBuffer& commandBuffer);

    // What colour attachment `index` is cleared to: (1, 1, 1, 0) for 0, the background the
    // network expects behind the head; (0, 0, 0, 0) for the others.
    static platform::gpu::ClearColor attachmentClearColor(std::size_t index);

    bool storeDepth = false;
    const std::shared_ptr<platform::gpu::RenderPipelineState>& renderPipelineState() const { return renderPipelineState_; }
    const std::shared_ptr<platform::gpu::DepthStencilState>& depthState() const { return depthState_; }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::Library> library_;
    platform::gpu::PixelFormat colorFormat_;
    platform::gpu::PixelFormat depthFormat_;
    platform::gpu::PixelFormat stencilFormat_;
    std::size_t sampleCount_;
    std::size_t maxViewCount_;
    std::shared_ptr<platform::gpu::RenderPipelineState> renderPipelineState_;
    std::shared_ptr<platform::gpu::DepthStencilState> depthState_;
    SplatBlendFactors blendFactors_;
};

static_assert(RenderPass<GaussianSplatRenderPass>);

} // namespace MivoKit
