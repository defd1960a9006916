#pragma once
// What every splat renderer holds (SplatRenderer, SimpleSRSplatRenderer, SRSplatRenderer): the
// device and formats it was made with, its settings, the kit's shader library, and the uniform
// ring with the camera of the last frame (splat_uniform_ring.hpp). Used on the rendering thread.

#include "kit/render/splat_renderer_protocol.hpp"
#include "kit/render/splat_uniform_ring.hpp"
#include "platform/gpu/device.hpp"

#include <memory>
#include <span>
#include <vector>

namespace MivoKit {

class SplatRendererBase : public SplatRendererProtocol {
public:
    using ErrorCode = SplatUniformRing::ErrorCode;
    using Error = SplatUniformRing::Error;

    const std::shared_ptr<platform::gpu::Device>& device() const { return device_; }
    // The format of the colour attachments the renderer's splat pipeline draws into.
    platform::gpu::PixelFormat colorFormat() const { return colorFormat_; }
    ColorFormat _colorFormat() const { return _colorFormat_; }
    platform::gpu::PixelFormat depthFormat() const { return depthFormat_; }
    platform::gpu::PixelFormat stencilFormat() const { return stencilFormat_; }
    std::size_t sampleCount() const { return sampleCount_; }
    std::size_t maxViewCount() const { return maxViewCount_; }
    std::size_t maxSimultaneousRenders() const { return maxSimultaneousRenders_; }
    bool storeDepth() const { return storeDepth_; }
    // Stored only: splats are always drawn farthest first.
    bool renderFrontToBack() const { return renderFrontToBack_; }

    // State read by tests and by the frame's steps.
    const std::shared_ptr<platform::gpu::Buffer>& dynamicUniformBuffers() const { return ring_.buffer(); }
    std::size_t uniformBufferOffset() const { return ring_.offset(); }
    std::size_t uniformBufferIndex() const { return ring_.index(); }
    const UniformsArray* uniforms() const { return ring_.uniforms(); }
    simd::float3 cameraWorldPosition() const { return ring_.cameraWorldPosition(); }
    simd::float3 cameraWorldForward() const { return ring_.cameraWorldForward(); }

protected:
    // Throws Error when a count is 0 or the uniform ring cannot be made. maxSimultaneousRenders
    // must be at least the number of frames the caller keeps in flight, so that no slot is
    // rewritten while the GPU may read it.
    SplatRendererBase(std::shared_ptr<platform::gpu::Device> device, platform::gpu::PixelFormat colorFormat,
                      ColorFormat _colorFormat, platform::gpu::PixelFormat depthFormat,
                      platform::gpu::PixelFormat stencilFormat, std::size_t sampleCount, std::size_t maxViewCount,
                      std::size_t maxSimultaneousRenders);

    // Store the setting; true when the value changed.
    bool exchangeStoreDepth(bool storeDepth);
    bool exchangeRenderFrontToBack(bool renderFrontToBack);

    // Advances the uniform ring and writes the frame's views and camera; returns the views drawn
    // (those past maxViewCount are not).
    std::span<const ViewportDescriptor> beginFrame(const std::vector<ViewportDescriptor>& viewports);

    const std::shared_ptr<platform::gpu::Library>& library() const { return library_; }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    platform::gpu::PixelFormat colorFormat_;
    ColorFormat _colorFormat_;
    platform::gpu::PixelFormat depthFormat_;
    platform::gpu::PixelFormat stencilFormat_;
    std::size_t sampleCount_;
    std::size_t maxViewCount_;
    std::size_t maxSimultaneousRenders_;
    bool storeDepth_ = false;
    bool renderFrontToBack_ = false;
    SplatUniformRing ring_;
    std::shared_ptr<platform::gpu::Library> library_;
};

} // namespace MivoKit
