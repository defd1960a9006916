#pragma once
// What the draw loop knows of a renderer: hand it the frame's splats, have it encode a frame for
// some views into a command buffer, and get back the command buffer to present and commit.
// Called on the thread that draws.

#include "kit/model/splat_memory_buffer.hpp"
#include "kit/render/splat.hpp"
#include "platform/gpu/command_buffer.hpp"

#include <memory>
#include <span>
#include <vector>

namespace MivoKit {

class SplatRendererProtocol {
public:
    virtual ~SplatRendererProtocol() = default;

    virtual std::shared_ptr<platform::gpu::CommandBuffer> render(
        const std::vector<ViewportDescriptor>& viewports, std::shared_ptr<platform::gpu::Texture> colorTexture,
        platform::gpu::StoreAction colorStoreAction, std::shared_ptr<platform::gpu::Texture> depthTexture,
        std::shared_ptr<platform::gpu::Texture> stencilTexture,
        std::shared_ptr<platform::gpu::RasterizationRateMap> rasterizationRateMap,
        std::uint32_t renderTargetArrayLength, std::shared_ptr<platform::gpu::CommandBuffer> to,
        std::shared_ptr<platform::gpu::CommandQueue> commandQueue) = 0;
    virtual void update(const SplatMemoryBuffer& from) = 0;
    // update(from:) for a buffer object that never changes (a video frame's): given the same object
    // as the update before, a renderer may keep the records it made from it, and their sorted
    // order for an unchanged camera, instead of making them again. A null buffer has no splats.
    virtual void updateFromShared(const std::shared_ptr<const SplatMemoryBuffer>& from) {
        update(from ? *from : SplatMemoryBuffer());
    }
    virtual void update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer& partTwo) = 0;
    virtual void add(std::span<const SplatScenePoint> points) = 0;
    virtual void add(const SplatScenePoint& point) = 0;
    virtual void reset() = 0;
};

} // namespace MivoKit
