#pragma once
// Command queues, command buffers and their encoders.
//
// Encoders append commands to the command buffer's record; commit() hands the buffer to its
// device, which executes committed buffers in commit order on its one GPU thread and then runs
// the completion handlers there. Every buffer and texture that a command buffer references stays
// alive, and counts as in use by the GPU, until that command buffer has completed.

#include "platform/gpu/command_record.hpp"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

class Device;
class CommandBuffer;

// Something shown on screen once the command buffer that presents it has completed.
class Drawable {
public:
    virtual ~Drawable() = default;
    virtual std::shared_ptr<Texture> texture() const = 0;
    // Called on the GPU thread after the presenting command buffer's work is done.
    virtual void present() = 0;
};

// What every encoder has: a label, debug groups, and an end after which nothing more is encoded.
class CommandEncoder {
public:
    CommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer, EncoderRecord& record);

    void setLabel(std::string label);
    void pushDebugGroup(std::string name);
    void popDebugGroup();
    void endEncoding();

protected:
    // Throws std::logic_error after endEncoding().
    void append(Command command);
    // Binds `buffer` and marks it used by the command buffer.
    void appendBuffer(ShaderStage stage, std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index);
    void appendBytes(ShaderStage stage, const void* bytes, std::size_t length, std::size_t index);
    void appendTexture(ShaderStage stage, std::shared_ptr<Texture> texture, std::size_t index);

private:
    std::shared_ptr<CommandBuffer> commandBuffer_;
    EncoderRecord& record_;
};

class RenderCommandEncoder : public CommandEncoder {
public:
    using CommandEncoder::CommandEncoder;

    void setRenderPipelineState(std::shared_ptr<RenderPipelineState> state);
    void setDepthStencilState(std::shared_ptr<DepthStencilState> state);
    void setVertexBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index);
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index);
    void setFragmentBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index);
    void setFragmentBytes(const void* bytes, std::size_t length, std::size_t index);
    void setFragmentTexture(std::shared_ptr<Texture> texture, std::size_t index);
    void setViewport(const Viewport& viewport);
    void setViewports(std::span<const Viewport> viewports);
    void setVertexAmplificationCount(std::uint32_t count, std::span<const VertexAmplificationViewMapping> mappings);
    void drawPrimitives(PrimitiveType type, std::uint32_t vertexStart, std::uint32_t vertexCount,
                        std::uint32_t instanceCount = 1);
};

class ComputeCommandEncoder : public CommandEncoder {
public:
    using CommandEncoder::CommandEncoder;

    void setComputePipelineState(std::shared_ptr<ComputePipelineState> state);
    void setBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index);
    void setBytes(const void* bytes, std::size_t length, std::size_t index);
    void setTexture(std::shared_ptr<Texture> texture, std::size_t index);
    void dispatchThreadgroups(Size3 threadgroupsPerGrid, Size3 threadsPerThreadgroup);
};

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
public:
    enum class Status { notEnqueued, committed, completed };
    using CompletedHandler = std::function<void(CommandBuffer&)>;

    explicit CommandBuffer(std::shared_ptr<Device> device);
    ~CommandBuffer();
    CommandBuffer(const CommandBuffer&) = delete;
    CommandBuffer& operator=(const CommandBuffer&) = delete;

    const std::string& label() const { return label_; }
    void setLabel(std::string label) { label_ = std::move(label); }
    const std::shared_ptr<Device>& device() const { return device_; }

    // None while another encoder is open, after commit, or when the pass has no attachment or
    // attachments of different sizes.
    std::shared_ptr<RenderCommandEncoder> makeRenderCommandEncoder(const RenderPassDescriptor& descriptor);
    std::shared_ptr<ComputeCommandEncoder> makeComputeCommandEncoder();

    // Runs on the GPU thread once the work is done. Must be added before commit.
    void addCompletedHandler(CompletedHandler handler);
    // Presents `drawable` once the work is done. Must be called before commit.
    void present(std::shared_ptr<Drawable> drawable);
    // Hands the buffer to the GPU. Throws std::logic_error when an encoder is still open or the
    // buffer was committed already.
    void commit();
    void waitUntilCompleted();
    Status status() const;

    // The record: one entry per encoder in encoding order, and the drawables to present.
    const std::vector<std::unique_ptr<EncoderRecord>>& encoders() const { return encoders_; }
    const std::vector<std::shared_ptr<Drawable>>& presentedDrawables() const { return drawables_; }

    // Called by the encoders: the GPU will read `resource`.
    void use(const std::shared_ptr<Resource>& resource);
    // Called by the device on its GPU thread after executing the record.
    void complete();

private:
    void requireNotCommitted(const char* what) const;
    void releaseResources();

    std::shared_ptr<Device> device_;
    std::string label_;
    std::vector<std::unique_ptr<EncoderRecord>> encoders_;
    std::vector<std::shared_ptr<Drawable>> drawables_;
    std::vector<CompletedHandler> handlers_;
    std::vector<std::shared_ptr<Resource>> used_;
    bool released_ = false;

    mutable std::mutex mutex_;
    std::condition_variable completed_;
    Status status_ = Status::notEnqueued;
};

class CommandQueue {
public:
    explicit CommandQueue(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    const std::shared_ptr<Device>& device() const { return device_; }
    std::shared_ptr<CommandBuffer> makeCommandBuffer();

private:
    std::shared_ptr<Device> device_;
};

} // namespace platform::gpu

} // namespace MivoKit
