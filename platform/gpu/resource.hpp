#pragma once
// Base of buffers and textures: a label and a count of the command buffers that use the resource
// and have not completed yet, so the CPU can tell when the GPU may still read it.

#include <atomic>
#include <string>

namespace MivoKit {

namespace platform::gpu {

class CommandBuffer;

class Resource {
public:
    virtual ~Resource() = default;

    const std::string& label() const { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }

    // True while a command buffer that references this resource has not completed (encoded but
    // not committed counts too: the GPU will read it once it is committed).
    bool isInUseByGPU() const { return gpuUses_.load(std::memory_order_acquire) > 0; }

private:
    friend class CommandBuffer;
    std::string label_;
    std::atomic<int> gpuUses_{0};
};

} // namespace platform::gpu

} // namespace MivoKit
