#pragma once
// The GPU device: makes buffers, textures, states, libraries and command queues, and executes
// committed command buffers.
//
// Device is the interface; SoftwareDevice is the driver that runs everything on the CPU: one GPU
// thread executes command buffers in commit order, and parallel loops on the background pool
// rasterise in 16x16 tiles.
// createSystemDefaultDevice() picks the driver.

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/pipeline.hpp"
#include "platform/gpu/texture.hpp"

#include <cstddef>
#include <memory>
#include <string>

namespace MivoKit {

namespace platform::gpu {

class Device : public std::enable_shared_from_this<Device> {
public:
    virtual ~Device() = default;

    virtual std::string name() const = 0;
    // The largest buffer, in bytes, that makeBuffer accepts.
    virtual std::size_t maxBufferLength() const = 0;

    // None when the length is 0, above maxBufferLength() or cannot be allocated.
    virtual std::shared_ptr<Buffer> makeBuffer(std::size_t length) = 0;
    // None for an invalid format or size (0 or above 16384 pixels a side).
    virtual std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) = 0;
    virtual std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& descriptor) = 0;
    // Throws PipelineError when the descriptor cannot be built.
    virtual std::shared_ptr<RenderPipelineState> makeRenderPipelineState(const RenderPipelineDescriptor& descriptor) = 0;
    virtual std::shared_ptr<ComputePipelineState> makeComputePipelineState(
        const ComputePipelineDescriptor& descriptor) = 0;
    virtual std::shared_ptr<Library> makeLibrary(LibrarySource source) = 0;
    virtual std::shared_ptr<CommandQueue> makeCommandQueue() = 0;

    // Called by CommandBuffer::commit.
    virtual void enqueue(std::shared_ptr<CommandBuffer> commandBuffer) = 0;
};

struct SoftwareDeviceDescriptor {
    std::size_t maxBufferLength = std::size_t(1) << 30;
    // Threads that rasterise; 0 uses the process's shared pool (every core).
    unsigned threadCount = 0;
    // Run the fused draws of function pairs that have one (off: every draw takes the generic
    // per-vertex, per-fragment path).
    bool useFusedDraws = true;
};

class SoftwareDevice : public Device {
public:
    explicit SoftwareDevice(SoftwareDeviceDescriptor descriptor = {});
    ~SoftwareDevice() override;

    std::string name() const override { return "MivoKit software GPU"; }
    std::size_t maxBufferLength() const override { return descriptor_.maxBufferLength; }
    std::shared_ptr<Buffer> makeBuffer(std::size_t length) override;
    std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) override;
    std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& descriptor) override;
    std::shared_ptr<RenderPipelineState> makeRenderPipelineState(const RenderPipelineDescriptor& descriptor) override;
    std::shared_ptr<ComputePipelineState> makeComputePipelineState(const ComputePipelineDescriptor& descriptor) override;
    std::shared_ptr<Library> makeLibrary(LibrarySource source) override;
    std::shared_ptr<CommandQueue> makeCommandQueue() override;
    void enqueue(std::shared_ptr<CommandBuffer> commandBuffer) override;

    unsigned threadCount() const;

    static constexpr std::uint32_t kThreadExecutionWidth = 32;
    static constexpr std::uint32_t kMaxTotalThreadsPerThreadgroup = 1024;
    static constexpr std::uint32_t kMaxVertexAmplificationCount = 8;
    static constexpr std::uint32_t kMaxTextureDimension = 16384;

private:
    struct Timeline;
    SoftwareDeviceDescriptor descriptor_;
    std::shared_ptr<Timeline> timeline_;
};

// The device this machine draws with.
std::shared_ptr<Device> createSystemDefaultDevice();

} // namespace platform::gpu

} // namespace MivoKit
