#include "platform/gpu/command_buffer.hpp"

#include "platform/gpu/device.hpp"
#include "platform/dispatch/work_census.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace MivoKit {

namespace platform::gpu {

// ---- encoders ----

CommandEncoder::CommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer, EncoderRecord& record)
    : commandBuffer_(std::move(commandBuffer)), record_(record) {}

void CommandEncoder::append(Command command) {
    if (record_.ended) throw std::logic_error("encoding into an encoder that has ended");
    record_.commands.push_back(std::move(command));
}

void CommandEncoder::appendBuffer(ShaderStage stage, std::shared_ptr<Buffer> buffer, std::size_t offset,
                                  std::size_t index) {
    if (buffer) commandBuffer_->use(buffer);
    append(command::SetBuffer{stage, index, std::move(buffer), offset});
}

void CommandEncoder::appendBytes(ShaderStage stage, const void* bytes, std::size_t length, std::size_t index) {
    const auto* b = static_cast<const std::byte*>(bytes);
    append(command::SetBytes{stage, index, std::vector<std::byte>(b, b + length)});
}

void CommandEncoder::appendTexture(ShaderStage stage, std::shared_ptr<Texture> texture, std::size_t index) {
    if (texture) commandBuffer_->use(texture);
    append(command::SetTexture{stage, index, std::move(texture)});
}

void CommandEncoder::setLabel(std::string label) { record_.label = std::move(label); }
void CommandEncoder::pushDebugGroup(std::string name) { append(command::PushDebugGroup{std::move(name)}); }
void CommandEncoder::popDebugGroup() { append(command::PopDebugGroup{}); }
void CommandEncoder::endEncoding() { record_.ended = true; }

void RenderCommandEncoder::setRenderPipelineState(std::shared_ptr<RenderPipelineState> state) {
    append(command::SetRenderPipelineState{std::move(state)});
}

void RenderCommandEncoder::setDepthStencilState(std::shared_ptr<DepthStencilState> state) {
    append(command::SetDepthStencilState{std::move(state)});
}

void RenderCommandEncoder::setVertexBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index) {
    appendBuffer(ShaderStage::vertex, std::move(buffer), offset, index);
}

void RenderCommandEncoder::setVertexBytes(const void* bytes, std::size_t length, std::size_t index) {
    appendBytes(ShaderStage::vertex, bytes, length, index);
}

void RenderCommandEncoder::setFragmentBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index) {
    appendBuffer(ShaderStage::fragment, std::move(buffer), offset, index);
}

void RenderCommandEncoder::setFragmentBytes(const void* bytes, std::size_t length, std::size_t index) {
    appendBytes(ShaderStage::fragment, bytes, length, index);
}

void RenderCommandEncoder::setFragmentTexture(std::shared_ptr<Texture> texture, std::size_t index) {
    appendTexture(ShaderStage::fragment, std::move(texture), index);
}

void RenderCommandEncoder::setViewport(const Viewport& viewport) { append(command::SetViewports{{viewport}}); }

void RenderCommandEncoder::setViewports(std::span<const Viewport> viewports) {
    append(command::SetViewports{{viewports.begin(), viewports.end()}});
}

void RenderCommandEncoder::setVertexAmplificationCount(std::uint32_t count,
                                                       std::span<const VertexAmplificationViewMapping> mappings) {
    append(command::SetVertexAmplification{count, {mappings.begin(), mappings.end()}});
}

void RenderCommandEncoder::drawPrimitives(PrimitiveType type, std::uint32_t vertexStart, std::uint32_t vertexCount,
                                          std::uint32_t instanceCount) {
    append(command::DrawPrimitives{type, vertexStart, vertexCount, instanceCount});
}

void ComputeCommandEncoder::setComputePipelineState(std::shared_ptr<ComputePipelineState> state) {
    append(command::SetComputePipelineState{std::move(state)});
}

void ComputeCommandEncoder::setBuffer(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t index) {
    appendBuffer(ShaderStage::compute, std::move(buffer), offset, index);
}

void ComputeCommandEncoder::setBytes(const void* bytes, std::size_t length, std::size_t index) {
    appendBytes(ShaderStage::compute, bytes, length, index);
}

void ComputeCommandEncoder::setTexture(std::shared_ptr<Texture> texture, std::size_t index) {
    appendTexture(ShaderStage::compute, std::move(texture), index);
}

void ComputeCommandEncoder::dispatchThreadgroups(Size3 threadgroupsPerGrid, Size3 threadsPerThreadgroup) {
    append(command::DispatchThreadgroups{threadgroupsPerGrid, threadsPerThreadgroup});
}

// ---- command buffer ----

CommandBuffer::CommandBuffer(std::shared_ptr<Device> device) : device_(std::move(device)) {}

CommandBuffer::~CommandBuffer() { releaseResources(); }

void CommandBuffer::requireNotCommitted(const char* what) const {
    std::lock_guard lock(mutex_);
    if (status_ != Status::notEnqueued) throw std::logic_error(std::string(what) + " after commit");
}

namespace {

bool hasOpenEncoder(const std::vector<std::unique_ptr<EncoderRecord>>& encoders) {
    return !encoders.empty() && !encoders.back()->ended;
}

} // namespace

std::shared_ptr<RenderCommandEncoder> CommandBuffer::makeRenderCommandEncoder(const RenderPassDescriptor& descriptor) {
    if (status() != Status::notEnqueued || hasOpenEncoder(encoders_)) return nullptr;
    std::vector<std::shared_ptr<Texture>> attachments;
    for (const auto& c : descriptor.colorAttachments)
        if (c.texture) attachments.push_back(c.texture);
    if (descriptor.depthAttachment.texture) attachments.push_back(descriptor.depthAttachment.texture);
    if (descriptor.stencilAttachment.texture) attachments.push_back(descriptor.stencilAttachment.texture);
    if (attachments.empty()) return nullptr;
    for (const auto& t : attachments)
        if (t->width() != attachments[0]->width() || t->height() != attachments[0]->height()) return nullptr;
    for (const auto& t : attachments) use(t);

    auto record = std::make_unique<EncoderRecord>();
    record->kind = EncoderRecord::Kind::render;
    record->renderPass = descriptor;
    encoders_.push_back(std::move(record));
    return std::make_shared<RenderCommandEncoder>(shared_from_this(), *encoders_.back());
}

std::shared_ptr<ComputeCommandEncoder> CommandBuffer::makeComputeCommandEncoder() {
    if (status() != Status::notEnqueued || hasOpenEncoder(encoders_)) return nullptr;
    auto record = std::make_unique<EncoderRecord>();
    record->kind = EncoderRecord::Kind::compute;
    encoders_.push_back(std::move(record));
    return std::make_shared<ComputeCommandEncoder>(shared_from_this(), *encoders_.back());
}

void CommandBuffer::addCompletedHandler(CompletedHandler handler) {
    requireNotCommitted("addCompletedHandler");
    handlers_.push_back(std::move(handler));
}

void CommandBuffer::present(std::shared_ptr<Drawable> drawable) {
    requireNotCommitted("present");
    if (!drawable) return;
    if (auto texture = drawable->texture()) use(texture);
    drawables_.push_back(std::move(drawable));
}

namespace {

// Command buffers between commit and the end of their completion, for the work census.
std::atomic<std::size_t> buffersInFlight{0};
std::size_t commandBuffersInFlight() { return buffersInFlight.load(std::memory_order_acquire); }

} // namespace

void CommandBuffer::commit() {
    if (hasOpenEncoder(encoders_)) throw std::logic_error("commit with an encoder still open");
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::notEnqueued) throw std::logic_error("command buffer committed twice");
        status_ = Status::committed;
    }
    static const bool counted = (dispatch::registerWorkCounter("GPU command buffers", &commandBuffersInFlight), true);
    (void)counted;
    buffersInFlight.fetch_add(1, std::memory_order_relaxed);
    device_->enqueue(shared_from_this());
}

void CommandBuffer::waitUntilCompleted() {
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [&] { return status_ == Status::completed; });
}

CommandBuffer::Status CommandBuffer::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void CommandBuffer::use(const std::shared_ptr<Resource>& resource) {
    if (std::any_of(used_.begin(), used_.end(), [&](const auto& r) { return r == resource; })) return;
    resource->gpuUses_.fetch_add(1, std::memory_order_acq_rel);
    used_.push_back(resource);
}

void CommandBuffer::releaseResources() {
    if (released_) return;
    released_ = true;
    for (const auto& r : used_) r->gpuUses_.fetch_sub(1, std::memory_order_acq_rel);
}

void CommandBuffer::complete() {
    for (const auto& d : drawables_) d->present();
    releaseResources();
    for (auto& handler : handlers_) handler(*this);
    {
        std::lock_guard lock(mutex_);
        status_ = Status::completed;
    }
    completed_.notify_all();
    buffersInFlight.fetch_sub(1, std::memory_order_release);
}

std::shared_ptr<CommandBuffer> CommandQueue::makeCommandBuffer() { return std::make_shared<CommandBuffer>(device_); }

} // namespace platform::gpu

} // namespace MivoKit
