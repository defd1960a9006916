#pragma once
// The direct renderer: every frame it advances a ring of uniform slots, writes each view's camera,
// sorts the splats farthest first along the mean viewing direction and draws all of them in one
// instanced draw, blending premultiplied colour. It only encodes into the command buffer it is
// given; the caller presents and commits.

#include "kit/model/typed_error.hpp"
#include "kit/render/splat_buffer_manager.hpp"
#include "kit/render/splat_renderer_protocol.hpp"
#include "platform/gpu/device.hpp"

#include <memory>

class SplatRenderer : public SplatRendererProtocol {
public:
    enum class ErrorCode { invalidMaxViewCount, invalidMaxSimultaneousRenders, uniformBufferCreationFailed };
    using Error = TypedError<ErrorCode>;

    // Throws Error when a count is 0 or the uniform ring cannot be made, and MetalBufferError when
    // the splat buffers cannot be made. maxSimultaneousRenders must be at least the number of
    // frames the caller keeps in flight, so no slot is rewritten while the GPU may read it.
    SplatRenderer(std::shared_ptr<platform::gpu::Device> device, ColorFormat _colorFormat,
                  platform::gpu::PixelFormat depthFormat, platform::gpu::PixelFormat stencilFormat,
                  std::size_t sampleCount, std::size_t maxViewCount, std::size_t maxSimultaneousRenders);

    const std::shared_ptr<platform::gpu::Device>& device() const { return device_; }
    platform::gpu::PixelFormat colorFormat() const { return colorFormat_; }
    ColorFormat _colorFormat() const { return _colorFormat_; }
    platform::gpu::PixelFormat depthFormat() const { return depthFormat_; }
    platform::gpu::PixelFormat stencilFormat() const { return stencilFormat_; }
    std::size_t sampleCount() const { return sampleCount_; }
    std::size_t maxViewCount() const { return maxViewCount_; }
    std::size_t maxSimultaneousRenders() const { return maxSimultaneousRenders_; }

    bool storeDepth() const { return storeDepth_; }
    // A different value drops the pipeline and depth states; the next frame rebuilds them.
    void setStoreDepth(bool storeDepth);
    // Stored only: splats are always drawn farthest first.
    bool renderFrontToBack() const { return renderFrontToBack_; }
    void setRenderFrontToBack(bool renderFrontToBack);
    const platform::gpu::ClearColor& clearColor() const { return clearColor_; }
    void setClearColor(const platform::gpu::ClearColor& clearColor) { clearColor_ = clearColor; }

    std::size_t splatCount() const { return bufferManager.splatBuffer->count; }

    void reset() override;
    void update(const SplatMemoryBuffer& from) override;
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

    // State read by tests and by renderers that share this one's steps.
    const std::shared_ptr<platform::gpu::RenderPipelineState>& renderPipelineState() const { return renderPipelineState_; }
    const std::shared_ptr<platform::gpu::DepthStencilState>& depthState() const { return depthState_; }
    const std::shared_ptr<platform::gpu::Buffer>& dynamicUniformBuffers() const { return dynamicUniformBuffers_; }
    std::size_t uniformBufferOffset() const { return uniformBufferOffset_; }
    std::size_t uniformBufferIndex() const { return uniformBufferIndex_; }
    const UniformsArray* uniforms() const { return uniforms_; }
    simd::float3 cameraWorldPosition() const { return cameraWorldPosition_; }
    simd::float3 cameraWorldForward() const { return cameraWorldForward_; }

    SplatBufferManager bufferManager;

private:
    void buildDepthState();
    std::shared_ptr<platform::gpu::RenderPipelineState> buildRenderPipeline();
    void advanceUniformBuffer();
    void updateUniforms(std::span<const ViewportDescriptor> viewports);
    std::shared_ptr<platform::gpu::RenderCommandEncoder> makeRenderEncoder(
        std::span<const ViewportDescriptor> viewports, const std::shared_ptr<platform::gpu::Texture>& colorTexture,
        platform::gpu::StoreAction colorStoreAction, const std::shared_ptr<platform::gpu::Texture>& depthTexture,
        const std::shared_ptr<platform::gpu::Texture>& stencilTexture,
        const std::shared_ptr<platform::gpu::RasterizationRateMap>& rasterizationRateMap,
        std::uint32_t renderTargetArrayLength, platform::gpu::CommandBuffer& commandBuffer);

    std::shared_ptr<platform::gpu::Device> device_;
    platform::gpu::PixelFormat colorFormat_ = platform::gpu::PixelFormat::bgra8Unorm;
    ColorFormat _colorFormat_;
    platform::gpu::PixelFormat depthFormat_;
    platform::gpu::PixelFormat stencilFormat_;
    std::size_t sampleCount_;
    std::size_t maxViewCount_;
    std::size_t maxSimultaneousRenders_;
    bool storeDepth_ = false;
    bool renderFrontToBack_ = false;
    platform::gpu::ClearColor clearColor_{1, 1, 1, 1};
    std::shared_ptr<platform::gpu::Library> library_;
    std::shared_ptr<platform::gpu::RenderPipelineState> renderPipelineState_;
    std::shared_ptr<platform::gpu::DepthStencilState> depthState_;
    std::shared_ptr<platform::gpu::Buffer> dynamicUniformBuffers_;
    std::size_t uniformBufferOffset_ = 0;
    std::size_t uniformBufferIndex_ = 0;
    UniformsArray* uniforms_ = nullptr;
    simd::float3 cameraWorldPosition_{0, 0, 0};
    simd::float3 cameraWorldForward_{0, 0, -1};
    platform::gpu::BlendFactor sourceRGBBlendFactor_ = platform::gpu::BlendFactor::one;
    platform::gpu::BlendFactor sourceAlphaBlendFactor_ = platform::gpu::BlendFactor::one;
    platform::gpu::BlendFactor destinationRGBBlendFactor_ = platform::gpu::BlendFactor::oneMinusSourceAlpha;
    platform::gpu::BlendFactor destinationAlphaBlendFactor_ = platform::gpu::BlendFactor::oneMinusSourceAlpha;
};
