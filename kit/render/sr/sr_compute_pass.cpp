#include "kit/render/sr/sr_compute_pass.hpp"

namespace MivoKit {

using namespace platform::gpu;

SRComputePass::SRComputePass(std::shared_ptr<Device> device, std::shared_ptr<Library> library)
    : device_(std::move(device)), library_(std::move(library)) {}

void SRComputePass::setup() {
    srComputePipelineState_ =
        makeKernelPipeline(*device_, *library_, "超分网络计算", "computeSRMultiChannel", "创建SR计算管线失败");
}

void SRComputePass::compute(CommandBuffer& commandBuffer, const SRComputeData& data) {
    if (!srComputePipelineState_ || data.inputTextures.empty() || !data.inputTextures[0] || !data.outputBuffer) return;
    const Texture& first = *data.inputTextures[0];
    encodeDispatch(commandBuffer, srComputePipelineState_, "SR计算 Encoder", "SR计算", first.width(), first.height(),
                   [&](ComputeCommandEncoder& encoder) {
                       for (std::size_t i = 0; i < data.inputTextures.size() && i < kMaxTextureBindings; ++i)
                           encoder.setTexture(data.inputTextures[i], i);
                       encoder.setBuffer(data.outputBuffer->buffer(), 0, 0);
                   });
}

} // namespace MivoKit
