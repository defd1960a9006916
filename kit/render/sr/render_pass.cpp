#include "kit/render/sr/render_pass.hpp"

#include <algorithm>

namespace MivoKit {

using namespace platform::gpu;

std::shared_ptr<ComputePipelineState> makeKernelPipeline(Device& device, const Library& library,
                                                         const std::string& label, const std::string& functionName,
                                                         const std::string& missingDescription) {
    ComputePipelineDescriptor descriptor;
    descriptor.label = label;
    descriptor.computeFunction = library.makeFunction(functionName);
    if (!descriptor.computeFunction) throw RenderPassError("SplatRenderer", -1, missingDescription);
    return device.makeComputePipelineState(descriptor);
}

DispatchSize dispatchSize(const ComputePipelineState& pipeline, std::uint32_t width, std::uint32_t height) {
    const std::uint32_t w = std::max<std::uint32_t>(1, pipeline.threadExecutionWidth());
    const std::uint32_t h = std::max<std::uint32_t>(1, pipeline.maxTotalThreadsPerThreadgroup() / w);
    return {{(width + w - 1) / w, (height + h - 1) / h, 1}, {w, h, 1}};
}

} // namespace MivoKit
