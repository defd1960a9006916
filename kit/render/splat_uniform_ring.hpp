#pragma once
// The per-frame camera step every splat renderer shares: a ring of 512-byte uniform slots in one
// GPU buffer shared with the CPU, advanced once a frame, into whose current slot each view's
// matrices and screen size are written; and the frame's mean camera position and viewing
// direction, along which the renderer then sorts its splats farthest first. Used on the rendering
// thread; the GPU reads a slot after the frame's command buffer is committed, so the ring must
// have at least as many slots as frames in flight.

#include "kit/model/typed_error.hpp"
#include "kit/render/splat.hpp"
#include "platform/gpu/device.hpp"

#include <memory>
#include <span>
#include <vector>

namespace MivoKit {

class SplatUniformRing {
public:
    enum class ErrorCode { invalidMaxViewCount, invalidMaxSimultaneousRenders, uniformBufferCreationFailed };
    using Error = TypedError<ErrorCode>;

    // Throws Error when a count is 0 or the buffer cannot be made. The first frame uses slot 1
    // (slot 0 with one slot).
    SplatUniformRing(platform::gpu::Device& device, std::size_t maxViewCount, std::size_t maxSimultaneousRenders);

    // The frame's views that a pipeline amplifying to at most maxViewCount views draws.
    std::span<const ViewportDescriptor> drawnViews(const std::vector<ViewportDescriptor>& views) const;

    // Moves to the next slot.
    void advance();
    // Writes views 0 and 1 (uniforms0, uniforms1) into the current slot, leaving the rest as it
    // was, and derives the camera: the mean position and the normalised mean forward vector of
    // the views ((0, 0, 0) and (0, 0, -1) without views).
    void write(std::span<const ViewportDescriptor> views);

    const std::shared_ptr<platform::gpu::Buffer>& buffer() const { return buffer_; }
    std::size_t offset() const { return offset_; }
    std::size_t index() const { return index_; }
    const UniformsArray* uniforms() const { return uniforms_; }
    simd::float3 cameraWorldPosition() const { return cameraWorldPosition_; }
    simd::float3 cameraWorldForward() const { return cameraWorldForward_; }

private:
    std::size_t maxViewCount_;
    std::size_t slotCount_;
    std::shared_ptr<platform::gpu::Buffer> buffer_;
    std::size_t offset_ = 0;
    std::size_t index_ = 0;
    UniformsArray* uniforms_ = nullptr;
    simd::float3 cameraWorldPosition_{0, 0, 0};
    simd::float3 cameraWorldForward_{0, 0, -1};
};

} // namespace MivoKit
