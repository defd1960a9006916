#pragma once
// The direct renderer: every frame it advances a ring of uniform slots, writes each view's camera,
// sorts the splats farthest first along the mean viewing direction and draws all of them in one
// instanced draw, blending premultiplied colour. It only encodes into the command buffer it is
// given; the caller presents and commits. Handed the same frame buffer object again and drawn with
// the same viewing direction, it neither converts nor sorts again (SplatBufferManager).

#include "kit/render/splat_buffer_manager.hpp"
#include "kit/render/splat_pass_encoding.hpp"
#include "kit/render/splat_renderer_base.hpp"

#include <memory>

namespace MivoKit {

class SplatRenderer : public SplatRendererBase {
public:
    // Throws Error when a count is 0 or the uniform ring cannot be made, and MetalBufferError when
    // the splat buffers cannot be made (see SplatRendererBase).
    SplatRenderer(std::shared_ptr<platform::gpu::Device> device, ColorFormat _colorFormat,
                  platform::gpu::PixelFormat depthFormat, platform::gpu::PixelFormat stencilFormat,
                  std::size_t sampleCount, std::size_t maxViewCount, std::size_t maxSimultaneousRenders);

    // A different value drops the pipeline and depth states; the next frame rebuilds them.
    void setStoreDepth(bool storeDepth);
    void setRenderFrontToBack(bool renderFrontToBack);
    const platform::gpu::ClearColor& clearColor() const { return clearColor_; }
    void setClearColor(const platform::gpu::ClearColor& clearColor) { clearColor_ = clearColor; }

    std::size_t splatCount() const { return bufferManager.splatBuffer->count; }

    void reset() override;
    void update(const SplatMemoryBuffer& from) override;
    // Keeps the records, and the order of an unchanged camera, when `from` is the buffer object of
    // the update before (see SplatBufferManager).
    void updateFromShared(const std::shared_ptr<const SplatMemoryBuffer>& from) override;
    // Does nothing.
    void update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer& partTwo) override;
    void add(std::span<const SplatScenePoint> points) override;
    void add(const SplatScenePoint& point) override;

    // Stores the factors and rebuilds the pipeline at once; when the device refuses it, the
    // previous factors and pipeline stay.
    void updateBlendFactor(platform::gpu::BlendFactor sourceRGBBlendFactor,
                           platform::gpu::BlendFactor sourceAlphaBlendFactor,
                           platform::gpu::BlendFactor destinationRGBBlendFactor,
                           platform::gpu::BlendFactor destinationAlphaBlendFactor);
    void updateClearColor(const platform::gpu::ClearColor& clearColor) { clearColor_ = clearColor; }

    // Views past maxViewCount are ignored. Returns `to` on every path.
    std::shared_ptr<platform::gpu::CommandBuffer> render(
        const std::vector<ViewportDescriptor>& viewports, std::shared_ptr<platform::gpu::Texture> colorTexture,
        platform::gpu::StoreAction colorStoreAction, std::shared_ptr<platform::gpu::Texture> depthTexture,
        std::shared_ptr<platform::gpu::Texture> stencilTexture,
        std::shared_ptr<platform::gpu::RasterizationRateMap> rasterizationRateMap,
        std::uint32_t renderTargetArrayLength, std::shared_ptr<platform::gpu::CommandBuffer> to,
        std::shared_ptr<platform::gpu::CommandQueue> commandQueue) override;

    // State read by tests.
    const std::shared_ptr<platform::gpu::RenderPipelineState>& renderPipelineState() const { return renderPipelineState_; }
    const std::shared_ptr<platform::gpu::DepthStencilState>& depthState() const { return depthState_; }

    SplatBufferManager bufferManager;

private:
    void buildDepthState();
    std::shared_ptr<platform::gpu::RenderPipelineState> buildRenderPipeline();
    std::shared_ptr<platform::gpu::RenderCommandEncoder> makeRenderEncoder(
        std::span<const ViewportDescriptor> viewports, const std::shared_ptr<platform::gpu::Texture>& colorTexture,
        platform::gpu::StoreAction colorStoreAction, const std::shared_ptr<platform::gpu::Texture>& depthTexture,
        const std::shared_ptr<platform::gpu::Texture>& stencilTexture,
        const std::shared_ptr<platform::gpu::RasterizationRateMap>& rasterizationRateMap,
        std::uint32_t renderTargetArrayLength, platform::gpu::CommandBuffer& commandBuffer);

    void dropStates();

    platform::gpu::ClearColor clearColor_{1, 1, 1, 1};
    std::shared_ptr<platform::gpu::RenderPipelineState> renderPipelineState_;
    std::shared_ptr<platform::gpu::DepthStencilState> depthState_;
    SplatBlendFactors blendFactors_;
};

} // namespace MivoKit
