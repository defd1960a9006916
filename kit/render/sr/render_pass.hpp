#pragma once
// The passes of the super-resolution renderers: small classes that each own one GPU pipeline,
// build it with setup() (again whenever the renderer asks) and encode one step of a frame into a
// command buffer they are given, from one input record, their InputData. A pass whose pipeline
// is absent encodes nothing. The renderers call the passes through their classes; RenderPass
// only states what every pass has. All of it runs on the rendering thread.
//
// Also here: what the two compute passes share, the error of a missing kernel and the sizing of
// a dispatch over an image.

#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"

#include <concepts>
#include <memory>
#include <stdexcept>
#include <string>

namespace MivoKit {

template <class Pass>
concept RenderPass = requires(Pass& pass) {
    typename Pass::InputData;
    { pass.setup() } -> std::same_as<void>;
};

// A failure to build a pass's pipeline, with a domain and code like the platform's errors.
class RenderPassError : public std::runtime_error {
public:
    RenderPassError(std::string domain, int code, const std::string& localizedDescription)
        : std::runtime_error(localizedDescription), domain_(std::move(domain)), code_(code) {}
    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    std::string localizedDescription() const { return what(); }

private:
    std::string domain_;
    int code_;
};

// The compute pipeline of `library`'s kernel `functionName`, labelled `label`. Throws
// RenderPassError (domain "SplatRenderer", code -1, `missingDescription`) when the library has no
// such function, and the device's PipelineError.
std::shared_ptr<platform::gpu::ComputePipelineState> makeKernelPipeline(platform::gpu::Device& device,
                                                                        const platform::gpu::Library& library,
                                                                        const std::string& label,
                                                                        const std::string& functionName,
                                                                        const std::string& missingDescription);

struct DispatchSize {
    platform::gpu::Size3 threadgroupsPerGrid;
    platform::gpu::Size3 threadsPerThreadgroup;
};

// Threadgroups of (w, m / w, 1) threads, w the pipeline's thread execution width and m its most
// threads per group, covering width x height: the grid is rounded up, so kernels check their
// bounds. Both sides are at least one thread.
DispatchSize dispatchSize(const platform::gpu::ComputePipelineState& pipeline, std::uint32_t width,
                          std::uint32_t height);

// Encodes one dispatch of `pipeline` over width x height into its own compute encoder, labelled
// `label` inside the debug group `group`; `bind` sets the resources. Encodes nothing when the
// command buffer makes no compute encoder.
template <class Bind>
void encodeDispatch(platform::gpu::CommandBuffer& commandBuffer,
                    const std::shared_ptr<platform::gpu::ComputePipelineState>& pipeline, const std::string& label,
                    const std::string& group, std::uint32_t width, std::uint32_t height, Bind&& bind) {
    auto encoder = commandBuffer.makeComputeCommandEncoder();
    if (!encoder) return;
    encoder->setLabel(label);
    encoder->pushDebugGroup(group);
    encoder->setComputePipelineState(pipeline);
    bind(*encoder);
    const DispatchSize size = dispatchSize(*pipeline, width, height);
    encoder->dispatchThreadgroups(size.threadgroupsPerGrid, size.threadsPerThreadgroup);
    encoder->popDebugGroup();
    encoder->endEncoding();
}

} // namespace MivoKit
