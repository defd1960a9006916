#pragma once
// Descriptors and the immutable states a device builds from them.

#include "platform/gpu/library.hpp"
#include "platform/gpu/types.hpp"

#include <array>
#include <memory>
#include <stdexcept>
#include <string>

namespace MivoKit {

namespace platform::gpu {

struct RenderPipelineColorAttachmentDescriptor {
    PixelFormat pixelFormat = PixelFormat::invalid;
    bool blendingEnabled = false;
    BlendOperation rgbBlendOperation = BlendOperation::add;
    BlendOperation alphaBlendOperation = BlendOperation::add;
    BlendFactor sourceRGBBlendFactor = BlendFactor::one;
    BlendFactor sourceAlphaBlendFactor = BlendFactor::one;
    BlendFactor destinationRGBBlendFactor = BlendFactor::zero;
    BlendFactor destinationAlphaBlendFactor = BlendFactor::zero;
    friend bool operator==(const RenderPipelineColorAttachmentDescriptor&,
                           const RenderPipelineColorAttachmentDescriptor&) = default;
};

struct RenderPipelineDescriptor {
    std::string label;
    std::shared_ptr<Function> vertexFunction;
    std::shared_ptr<Function> fragmentFunction;
    std::size_t rasterSampleCount = 1;
    std::array<RenderPipelineColorAttachmentDescriptor, kMaxColorAttachments> colorAttachments{};
    PixelFormat depthAttachmentPixelFormat = PixelFormat::invalid;
    PixelFormat stencilAttachmentPixelFormat = PixelFormat::invalid;
    std::uint32_t maxVertexAmplificationCount = 1;
};

// Thrown by a device that cannot build a pipeline from a descriptor.
class PipelineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RenderPipelineState {
public:
    RenderPipelineState(RenderPipelineDescriptor descriptor, std::shared_ptr<const FusedDraw> fusedDraw)
        : descriptor_(std::move(descriptor)), fusedDraw_(std::move(fusedDraw)) {}

    const std::string& label() const { return descriptor_.label; }
    const RenderPipelineDescriptor& descriptor() const { return descriptor_; }
    // The specialised drawing of the function pair, when the device uses one.
    const std::shared_ptr<const FusedDraw>& fusedDraw() const { return fusedDraw_; }

private:
    RenderPipelineDescriptor descriptor_;
    std::shared_ptr<const FusedDraw> fusedDraw_;
};

struct DepthStencilDescriptor {
    std::string label;
    CompareFunction depthCompareFunction = CompareFunction::always;
    bool depthWriteEnabled = false;
};

class DepthStencilState {
public:
    explicit DepthStencilState(DepthStencilDescriptor descriptor) : descriptor_(std::move(descriptor)) {}
    const DepthStencilDescriptor& descriptor() const { return descriptor_; }

private:
    DepthStencilDescriptor descriptor_;
};

struct ComputePipelineDescriptor {
    std::string label;
    std::shared_ptr<Function> computeFunction;
};

class ComputePipelineState {
public:
    ComputePipelineState(ComputePipelineDescriptor descriptor, std::uint32_t threadExecutionWidth,
                         std::uint32_t maxTotalThreadsPerThreadgroup)
        : descriptor_(std::move(descriptor)), threadExecutionWidth_(threadExecutionWidth),
          maxTotalThreadsPerThreadgroup_(maxTotalThreadsPerThreadgroup) {}

    const std::string& label() const { return descriptor_.label; }
    const ComputePipelineDescriptor& descriptor() const { return descriptor_; }
    std::uint32_t threadExecutionWidth() const { return threadExecutionWidth_; }
    std::uint32_t maxTotalThreadsPerThreadgroup() const { return maxTotalThreadsPerThreadgroup_; }

private:
    ComputePipelineDescriptor descriptor_;
    std::uint32_t threadExecutionWidth_;
    std::uint32_t maxTotalThreadsPerThreadgroup_;
};

} // namespace platform::gpu

} // namespace MivoKit
