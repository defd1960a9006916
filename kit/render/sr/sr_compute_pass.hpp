#pragma once
// Packs the offscreen feature textures into the network's input with the kernel
// "computeSRMultiChannel": eight planes of 16-bit floats, [8, H, W] for textures of W x H
// (shaders/sr_compute_kernels.hpp), in a buffer of W x H PackedSRHalf8 records.

#include "kit/render/metal_buffer.hpp"
#include "kit/render/sr/render_pass.hpp"
#include "kit/render/splat.hpp"

#include <memory>
#include <vector>

namespace MivoKit {

struct SRComputeData {
    std::vector<std::shared_ptr<platform::gpu::Texture>> inputTextures;
    std::shared_ptr<MetalBuffer<PackedSRHalf8>> outputBuffer;
};

class SRComputePass {
public:
    using InputData = SRComputeData;

    SRComputePass(std::shared_ptr<platform::gpu::Device> device, std::shared_ptr<platform::gpu::Library> library);

    // Builds the pipeline "超分网络计算". Throws RenderPassError ("创建SR计算管线失败") without the
    // kernel, and the device's PipelineError.
    void setup();
    // One dispatch over the first input texture's pixels, when the pipeline, an input texture and
    // the output buffer exist.
    void compute(platform::gpu::CommandBuffer& commandBuffer, const SRComputeData& data);

    const std::shared_ptr<platform::gpu::ComputePipelineState>& srComputePipelineState() const {
        return srComputePipelineState_;
    }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::Library> library_;
    std::shared_ptr<platform::gpu::ComputePipelineState> srComputePipelineState_;
};

static_assert(RenderPass<SRComputePass>);

} // namespace MivoKit
