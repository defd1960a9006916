#include "kit/render/sr/composite_compute_pass.hpp"

#include <array>

namespace MivoKit {

using namespace platform::gpu;

CompositeComputePass::CompositeComputePass(std::shared_ptr<Device> device, std::shared_ptr<Library> library)
    : device_(std::move(device)), library_(std::move(library)) {}

void CompositeComputePass::setup() {
    compositePipelineState_ =
        makeKernelPipeline(*device_, *library_, "纹理拼接计算", "compositeTextures", "创建纹理拼接计算管线失败");
}

void CompositeComputePass::compute(CommandBuffer& commandBuffer, const CompositeComputeData& data) {
    if (!compositePipelineState_ || !data.destinationTexture) return;
    encodeDispatch(commandBuffer, compositePipelineState_, "纹理拼接计算", "纹理拼接计算",
                   data.destinationTexture->width(), data.destinationTexture->height(),
                   [&](ComputeCommandEncoder& encoder) {
                       encoder.setTexture(data.sourceTexture1, 0);
                       encoder.setTexture(data.sourceTexture2, 1);
                       encoder.setTexture(data.destinationTexture, 2);
                       const std::array<float, 3> background{float(data.sourceBackground.red),
                                                             float(data.sourceBackground.green),
                                                             float(data.sourceBackground.blue)};
                       encoder.setBytes(background.data(), sizeof background, 0);
                   });
}

} // namespace MivoKit
