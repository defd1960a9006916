#pragma once
// What the two super-resolution renderers share (SimpleSRSplatRenderer, SRSplatRenderer): their
// passes, network input, output ring and prediction, and the road of a frame around their own
// splat drawing.
//
// A frame draws the sorted splats offscreen at the network's size into feature textures (format
// rgba16Float: features may be negative or above 1), packs them into the network's input and
// commits that work on its own command buffer; when the GPU has finished it, a prediction starts
// unless one is pending (sr_predictor.hpp). The returned on-screen command buffer draws the
// output of an earlier prediction (sr_pixel_buffer.hpp), or nothing before the first one; the
// caller presents and commits it.
//
// Threads: construction, render, the setters and the splat operations run on the rendering
// (main) thread; predictions run on the serial queue "SRTaskQueue". The renderer may be destroyed
// while a prediction runs: the prediction keeps what it needs alive.

#include "kit/render/sr/composite_compute_pass.hpp"
#include "kit/render/sr/gaussian_splat_render_pass.hpp"
#include "kit/render/sr/screen_render_pass.hpp"
#include "kit/render/splat_renderer_base.hpp"
#include "kit/render/sr/sr_compute_pass.hpp"
#include "kit/render/sr/sr_predictor.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <vector>

namespace MivoKit {

class SRRendererBase : public SplatRendererBase {
public:
    // None without a command queue, without splats to draw, or when the queue makes no command
    // buffer; `to` is not used. Views past maxViewCount are ignored.
    std::shared_ptr<platform::gpu::CommandBuffer> render(
        const std::vector<ViewportDescriptor>& viewports, std::shared_ptr<platform::gpu::Texture> colorTexture,
        platform::gpu::StoreAction colorStoreAction, std::shared_ptr<platform::gpu::Texture> depthTexture,
        std::shared_ptr<platform::gpu::Texture> stencilTexture,
        std::shared_ptr<platform::gpu::RasterizationRateMap> rasterizationRateMap,
        std::uint32_t renderTargetArrayLength, std::shared_ptr<platform::gpu::CommandBuffer> to,
        std::shared_ptr<platform::gpu::CommandQueue> commandQueue) final;

    // A different value is copied into the splat pass, whose pipeline is then rebuilt (errors
    // dropped).
    void setStoreDepth(bool storeDepth);
    void setRenderFrontToBack(bool renderFrontToBack);

    // The on-screen pass clears to this colour.
    platform::gpu::ClearColor clearColor{1, 1, 1, 1};
    // Called by read() with the number of points read.
    std::function<void(std::uint32_t)> onLoad;

    // Reads the scene file at `url` (by its extension) on the background pool, then, on the main
    // queue, appends its points with add() and calls onLoad. The future reports the reader's or
    // the append's error; it is broken when the renderer is gone by then.
    std::future<void> read(std::filesystem::path url);

    // State read by tests and benchmarks.
    GaussianSplatRenderPass* gaussianSplatPass() const { return gaussianSplatPass_.get(); }
    SRComputePass* srComputePass() const { return srComputePass_.get(); }
    ScreenRenderPass* screenRenderPass() const { return screenRenderPass_.get(); }
    const std::shared_ptr<MetalBuffer<PackedSRHalf8>>& srMultiChannelBuffer() const { return srMultiChannelBuffer_; }
    const std::shared_ptr<SRNetworkProtocol>& srNetwork() const { return srNetwork_; }
    const std::shared_ptr<SRPixelBuffer>& srPixelBuffer() const { return srPixelBuffer_; }
    platform::dispatch::SerialQueue& srTaskQueue() const { return predictor_->srTaskQueue(); }
    int srTaskCount() const { return predictor_->srTaskCount(); }

    // Sets up the passes, the input buffer (capacity 1: not yet sized) and an output ring at twice
    // the network's size, and loads the network's model. Throws Error for a count of 0 or no
    // uniform ring, and the errors of the other set-up. (The renderers inherit it.)
    SRRendererBase(std::shared_ptr<platform::gpu::Device> device, ColorFormat _colorFormat,
                   platform::gpu::PixelFormat depthFormat, platform::gpu::PixelFormat stencilFormat,
                   std::size_t sampleCount, std::size_t maxViewCount, std::size_t maxSimultaneousRenders,
                   std::shared_ptr<SRNetworkProtocol> srNetwork);
    ~SRRendererBase() override;

protected:

    struct FrameTargets {
        std::span<const ViewportDescriptor> views;
        std::shared_ptr<platform::gpu::Texture> depthTexture;
        std::shared_ptr<platform::gpu::Texture> stencilTexture;
        platform::gpu::StoreAction colorStoreAction;
        std::uint32_t renderTargetArrayLength;
        std::shared_ptr<platform::gpu::RasterizationRateMap> rasterizationRateMap;
    };

    // The renderer's own steps of a frame, in this order.
    virtual bool hasSplatsToDraw() const = 0;
    virtual void sortSplats(simd::float3 direction) = 0;
    // The composite pass to set up with the others, if any.
    virtual CompositeComputePass* compositePass() const { return nullptr; }
    // Makes the feature textures when they are missing.
    virtual void prepareTextures() = 0;
    // Encodes the splat drawing (and compositing); returns the textures that feed the network.
    virtual const std::vector<std::shared_ptr<platform::gpu::Texture>>& encodeFeatures(
        platform::gpu::CommandBuffer& commandBuffer, const FrameTargets& targets) = 0;

    // Three feature textures at the network's size; those the device cannot make are left out.
    std::vector<std::shared_ptr<platform::gpu::Texture>> makeFeatureTextures() const;
    // The splat pass for `manager` into `textures` (not empty), if there is a splat pass.
    void encodeSplats(platform::gpu::CommandBuffer& commandBuffer, const SplatBufferManager& manager,
                      const std::vector<std::shared_ptr<platform::gpu::Texture>>& textures,
                      const FrameTargets& targets);

private:
    void preparePasses();
    std::shared_ptr<MetalBuffer<PackedSRHalf8>> encodeSRInput(
        platform::gpu::CommandBuffer& commandBuffer, const std::vector<std::shared_ptr<platform::gpu::Texture>>& textures);
    void rebuildSplatPass();

    std::unique_ptr<GaussianSplatRenderPass> gaussianSplatPass_;
    std::unique_ptr<SRComputePass> srComputePass_;
    std::unique_ptr<ScreenRenderPass> screenRenderPass_;
    std::shared_ptr<MetalBuffer<PackedSRHalf8>> srMultiChannelBuffer_;
    std::shared_ptr<SRNetworkProtocol> srNetwork_;
    std::shared_ptr<SRPixelBuffer> srPixelBuffer_;
    std::shared_ptr<SRPredictor> predictor_;
    // Checked on the main queue by read() before it appends: gone once the renderer is.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace MivoKit
