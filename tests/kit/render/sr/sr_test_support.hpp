#pragma once
// Shared set-up of the super-resolution tests: networks standing in for the real ones (the
// interface is the kit's, the real networks are tested with their models elsewhere), a device
// that keeps every command buffer committed to it, and a harness that renders frames and waits
// for the predictions they start.

#include "tests/kit/render/render_fixture.hpp"

#include "kit/render/sr/simple_sr_splat_renderer.hpp"
#include "kit/render/sr/sr_network_protocol.hpp"
#include "platform/gpu/half.hpp"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace MivoKit;

namespace srtest {

using namespace rendertest;
using platform::ml::MLMultiArray;
using platform::ml::PixelBuffer;

// Writes channels 0 to 2 of its input, 2x nearest, into the output (alpha 1). `before` runs at the
// start of every prediction, on the prediction's thread.
class UpscalingNetwork : public SRNetworkProtocol {
public:
    UpscalingNetwork(int width, int height) : width_(width), height_(height) {}

    void loadModel() override { ++loads; }
    void prediction(const MLMultiArray& input, PixelBuffer& output) override {
        ++predictions;
        if (before) before(input);
        const auto* halves = static_cast<const std::uint16_t*>(input.dataPointer());
        const auto& strides = input.strides();
        for (std::uint32_t y = 0; y < output.height(); ++y) {
            auto* row = reinterpret_cast<std::uint8_t*>(output.baseAddress() + y * output.bytesPerRow());
            for (std::uint32_t x = 0; x < output.width(); ++x) {
                const std::int64_t at = (y / 2) * strides[1] + (x / 2) * strides[2];
                for (int c = 0; c < 3; ++c) {
                    const float v = std::clamp(platform::gpu::halfToFloat(halves[c * strides[0] + at]), 0.0f, 1.0f);
                    row[x * 4 + (2 - c)] = static_cast<std::uint8_t>(v * 255.0f + 0.5f); // BGRA
                }
                row[x * 4 + 3] = 255;
            }
        }
    }
    int getWidth() const override { return width_; }
    int getHeight() const override { return height_; }
    float getAspectRatio() const override { return float(width_) / float(height_); }
    bool canPredict() const override { return loads > 0; }

    std::atomic<int> loads{0};
    std::atomic<int> predictions{0};
    std::function<void(const MLMultiArray&)> before;

private:
    int width_, height_;
};

// Fails every prediction with `message`.
class ThrowingNetwork : public UpscalingNetwork {
public:
    using UpscalingNetwork::UpscalingNetwork;
    void prediction(const MLMultiArray&, PixelBuffer&) override {
        ++predictions;
        throw std::runtime_error("network exploded");
    }
};

// Whose model never loads: it cannot predict (a prediction would still write its image).
class UnloadedNetwork : public UpscalingNetwork {
public:
    using UpscalingNetwork::UpscalingNetwork;
    bool canPredict() const override { return false; }
};

// Holds predictions at their start until released.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    // Blocks until a prediction waits at the gate.
    void awaitArrival() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return waiting_ > 0; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = false;
};

// A software device that keeps every command buffer committed to it, for reading their records.
class RecordingDevice : public SoftwareDevice {
public:
    void enqueue(std::shared_ptr<CommandBuffer> commandBuffer) override {
        {
            std::lock_guard lock(mutex_);
            committed_.push_back(commandBuffer);
        }
        SoftwareDevice::enqueue(std::move(commandBuffer));
    }
    std::vector<std::shared_ptr<CommandBuffer>> committed() const {
        std::lock_guard lock(mutex_);
        return committed_;
    }
    // The kept command buffers hold the device: dropping them lets it go.
    void forgetCommitted() {
        std::lock_guard lock(mutex_);
        committed_.clear();
    }
    // Feature textures (the only ones made with shader-write usage) after `refuseFeatureAfter`
    // are refused.
    std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) override {
        if (descriptor.usage & TextureUsage::shaderWrite && featureTextures_++ >= refuseFeatureAfter) return nullptr;
        return SoftwareDevice::makeTexture(descriptor);
    }
    std::size_t refuseFeatureAfter = SIZE_MAX;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CommandBuffer>> committed_;
    std::size_t featureTextures_ = 0;
};

// The offscreen command buffer of the last frame: the last one labelled as such.
inline std::shared_ptr<CommandBuffer> lastOffscreen(const RecordingDevice& device) {
    const auto all = device.committed();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if ((*it)->label() == "离屏渲染CommandBuffer") return *it;
    return nullptr;
}

// A cloud of `count` splats in a ball of radius `radius` around the origin.
inline SplatPointList ball(int count, float radius, float scale, unsigned seed = 5) {
    SplatPointList points;
    std::uint32_t state = seed;
    auto unit = [&] { return (state = state * 1664525u + 1013904223u) / 4294967296.0f; };
    for (int i = 0; i < count; ++i) {
        const simd::float3 p{(unit() * 2 - 1) * radius, (unit() * 2 - 1) * radius, (unit() * 2 - 1) * radius};
        points.push_back(point(p, {unit(), unit(), unit()}, 0.3f + 0.7f * unit(), {scale, scale, scale}));
    }
    return points;
}

// Renders frames of an SR renderer onto a drawable and waits for what they start.
template <class Renderer = SimpleSRSplatRenderer, class Network = UpscalingNetwork>
struct Harness {
    std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>();
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    std::shared_ptr<Network> network;
    std::shared_ptr<Renderer> renderer;
    std::shared_ptr<Texture> drawable;
    ViewportDescriptor view;

    Harness(int width, int height, std::uint32_t drawableWidth, std::uint32_t drawableHeight)
        : network(std::make_shared<Network>(width, height)),
          renderer(std::make_shared<Renderer>(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1,
                                              1, 3, network)),
          drawable(makeTarget(*device, drawableWidth, drawableHeight, PixelFormat::bgra8Unorm_srgb)), view(cameraView(width, height, 2.0f)) {}
    ~Harness() { device->forgetCommitted(); }

    // One frame; the on-screen buffer is committed and waited for, unless `keep`.
    std::shared_ptr<CommandBuffer> frame(bool keep = false) {
        auto onscreen = renderer->render({view}, drawable, StoreAction::store, nullptr, nullptr, nullptr, 0, nullptr,
                                         queue);
        if (onscreen && !keep) {
            onscreen->commit();
            onscreen->waitUntilCompleted();
        }
        return onscreen;
    }
    // Waits until every committed buffer has completed and the predictions they started ended.
    void settle() {
        auto marker = queue->makeCommandBuffer();
        marker->commit();
        marker->waitUntilCompleted();
        renderer->srTaskQueue().waitUntilIdle();
    }
};

} // namespace srtest
