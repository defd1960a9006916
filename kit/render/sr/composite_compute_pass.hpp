#pragma once
// Merges two textures into a third with the kernel "compositeTextures": the second source over the
// first, premultiplied, each over the background colour both were cleared to, so that what a
// source does not cover adds nothing (shaders/sr_compute_kernels.hpp). Used by the two-set
// renderer.

#include "kit/render/sr/render_pass.hpp"

#include <memory>

namespace MivoKit {

struct CompositeComputeData {
    std::shared_ptr<platform::gpu::Texture> sourceTexture1;
    std::shared_ptr<platform::gpu::Texture> sourceTexture2;
    std::shared_ptr<platform::gpu::Texture> destinationTexture;
    // The colour the sources were cleared to, which shows where they are not covered; its alpha
    // is not read (a source's alpha is its coverage).
    platform::gpu::ClearColor sourceBackground{0, 0, 0, 0};
};

class CompositeComputePass {
public:
    using InputData = CompositeComputeData;

    CompositeComputePass(std::shared_ptr<platform::gpu::Device> device, std::shared_ptr<platform::gpu::Library> library);

    // Builds the pipeline "纹理拼接计算". Throws RenderPassError ("创建纹理拼接计算管线失败") without
    // the kernel, and the device's PipelineError.
    void setup();
    // One dispatch over the destination's pixels, when the pipeline and the destination exist.
    void compute(platform::gpu::CommandBuffer& commandBuffer, const CompositeComputeData& data);

    const std::shared_ptr<platform::gpu::ComputePipelineState>& compositePipelineState() const {
        return compositePipelineState_;
    }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::Library> library_;
    std::shared_ptr<platform::gpu::ComputePipelineState> compositePipelineState_;
};

static_assert(RenderPass<CompositeComputePass>);

} // namespace MivoKit
