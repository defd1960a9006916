#include "platform/gpu/device.hpp"
#include "platform/gpu/pass_executor.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace MivoKit {

namespace platform::gpu {

// The GPU thread and what it owns. The thread keeps the state alive, so a device may be released
// from a completion handler on that very thread.
struct SoftwareDevice::Timeline {
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::shared_ptr<CommandBuffer>> queue;
        bool stopping = false;
        std::unique_ptr<PassExecutor> executor;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::thread thread;

    static void run(std::shared_ptr<State> state) {
        for (;;) {
            std::shared_ptr<CommandBuffer> next;
            {
                std::unique_lock lock(state->mutex);
                state->wake.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
                if (state->queue.empty()) return;
                next = std::move(state->queue.front());
                state->queue.pop_front();
            }
            for (const auto& record : next->encoders()) state->executor->execute(*record);
            next->complete();
        }
    }

    ~Timeline() {
        {
            std::lock_guard lock(state->mutex);
            state->stopping = true;
        }
        state->wake.notify_all();
        if (thread.get_id() == std::this_thread::get_id()) thread.detach();
        else if (thread.joinable()) thread.join();
    }
};

SoftwareDevice::SoftwareDevice(SoftwareDeviceDescriptor descriptor)
    : descriptor_(descriptor), timeline_(std::make_shared<Timeline>()) {
    auto& state = *timeline_->state;
    state.executor = std::make_unique<PassExecutor>(descriptor_.threadCount, descriptor_.useFusedDraws);
    timeline_->thread = std::thread(&Timeline::run, timeline_->state);
}

SoftwareDevice::~SoftwareDevice() = default;

unsigned SoftwareDevice::threadCount() const {
    return descriptor_.threadCount == 0 ? platform::dispatch::backgroundThreadCount() : descriptor_.threadCount;
}

std::shared_ptr<Buffer> SoftwareDevice::makeBuffer(std::size_t length) {
    if (length == 0 || length > descriptor_.maxBufferLength) return nullptr;
    try {
        return std::make_shared<Buffer>(length);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<Texture> SoftwareDevice::makeTexture(const TextureDescriptor& descriptor) {
    if (descriptor.pixelFormat == PixelFormat::invalid || descriptor.width == 0 || descriptor.height == 0 ||
        descriptor.arrayLength == 0 || descriptor.width > kMaxTextureDimension ||
        descriptor.height > kMaxTextureDimension || descriptor.arrayLength > 2048)
        return nullptr;
    try {
        return std::make_shared<Texture>(descriptor);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<DepthStencilState> SoftwareDevice::makeDepthStencilState(const DepthStencilDescriptor& descriptor) {
    return std::make_shared<DepthStencilState>(descriptor);
}

namespace {

bool isDualSource(BlendFactor f) {
    return f == BlendFactor::source1Color || f == BlendFactor::oneMinusSource1Color ||
           f == BlendFactor::source1Alpha || f == BlendFactor::oneMinusSource1Alpha;
}

} // namespace

std::shared_ptr<RenderPipelineState> SoftwareDevice::makeRenderPipelineState(const RenderPipelineDescriptor& d) {
    if (!d.vertexFunction || d.vertexFunction->functionType() != FunctionType::vertex)
        throw PipelineError("render pipeline \"" + d.label + "\" has no vertex function");
    if (!d.fragmentFunction || d.fragmentFunction->functionType() != FunctionType::fragment)
        throw PipelineError("render pipeline \"" + d.label + "\" has no fragment function");
    if (d.rasterSampleCount != 1)
        throw PipelineError("the software GPU rasterises with one sample per pixel only");
    if (d.maxVertexAmplificationCount < 1 || d.maxVertexAmplificationCount > kMaxVertexAmplificationCount)
        throw PipelineError("vertex amplification count out of range");
    for (const auto& a : d.colorAttachments) {
        if (a.pixelFormat != PixelFormat::invalid && !isColorFormat(a.pixelFormat))
            throw PipelineError("colour attachment with a format that is not a colour format");
        if (a.blendingEnabled &&
            (isDualSource(a.sourceRGBBlendFactor) || isDualSource(a.sourceAlphaBlendFactor) ||
             isDualSource(a.destinationRGBBlendFactor) || isDualSource(a.destinationAlphaBlendFactor)))
            throw PipelineError("dual-source blend factors need a second fragment output");
    }
    if (d.depthAttachmentPixelFormat != PixelFormat::invalid && !isDepthFormat(d.depthAttachmentPixelFormat))
        throw PipelineError("depth attachment with a format that is not a depth format");
    if (d.stencilAttachmentPixelFormat != PixelFormat::invalid && !isStencilFormat(d.stencilAttachmentPixelFormat))
        throw PipelineError("stencil attachment with a format that is not a stencil format");
    std::shared_ptr<const FusedDraw> fused;
    if (descriptor_.useFusedDraws) fused = d.vertexFunction->fusedDraw(d.fragmentFunction->name());
    return std::make_shared<RenderPipelineState>(d, std::move(fused));
}

std::shared_ptr<ComputePipelineState> SoftwareDevice::makeComputePipelineState(const ComputePipelineDescriptor& d) {
    if (!d.computeFunction || d.computeFunction->functionType() != FunctionType::kernel)
        throw PipelineError("compute pipeline \"" + d.label + "\" has no kernel function");
    return std::make_shared<ComputePipelineState>(d, kThreadExecutionWidth, kMaxTotalThreadsPerThreadgroup);
}

std::shared_ptr<Library> SoftwareDevice::makeLibrary(LibrarySource source) {
    return std::make_shared<Library>(std::move(source));
}

std::shared_ptr<CommandQueue> SoftwareDevice::makeCommandQueue() {
    return std::make_shared<CommandQueue>(shared_from_this());
}

void SoftwareDevice::enqueue(std::shared_ptr<CommandBuffer> commandBuffer) {
    auto& state = *timeline_->state;
    {
        std::lock_guard lock(state.mutex);
        state.queue.push_back(std::move(commandBuffer));
    }
    state.wake.notify_one();
}

std::shared_ptr<Device> createSystemDefaultDevice() { return std::make_shared<SoftwareDevice>(); }

} // namespace platform::gpu

} // namespace MivoKit
