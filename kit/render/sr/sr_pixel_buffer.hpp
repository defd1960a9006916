#pragma once
// The super-resolution output ring: pixel buffers the network writes its image into, each shown
// by a texture aliasing its memory, which the screen pass samples.
//
// The prediction task (serial queue "SRTaskQueue") writes the buffer at currentBufferIndex and
// then advances the index and sets ready; the screen pass (rendering thread) samples the texture
// at (currentBufferIndex + 1) mod numBuffers, the buffer after the one written next. The index and
// ready are atomics, as three threads share them. Two rules keep writing and sampling apart:
// - a buffer whose texture a screen pass still samples (encoded, not yet completed) is not
//   written: claimBufferToWrite() refuses it;
// - choosing the texture to sample and marking it in use (by binding it) happen under one small
//   lock that the claim takes too, so no screen pass can pick a buffer between the claim's check
//   and the write.
// Buffers start opaque white, the colour the offscreen pass clears to, so a screen pass never
// shows memory no prediction has written.

#include "kit/model/typed_error.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"
#include "platform/ml/pixel_buffer.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace MivoKit {

class SRPixelBuffer {
public:
    enum class ErrorCode { pixelBufferCreationFailed };
    using Error = TypedError<ErrorCode>;

    static constexpr std::size_t kBufferCount = 3;

    // kBufferCount bgra8 buffers of width x height (the network's output size). Throws Error when
    // the device cannot make one or its texture.
    SRPixelBuffer(std::shared_ptr<platform::gpu::Device> device, std::uint32_t width, std::uint32_t height);

    const std::shared_ptr<platform::gpu::Device>& device() const { return device_; }
    const std::vector<std::shared_ptr<platform::ml::PixelBuffer>>& buffers() const { return buffers_; }
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& textures() const { return textures_; }
    std::size_t numBuffers() const { return buffers_.size(); }
    std::size_t currentBufferIndex() const { return currentBufferIndex_.load(std::memory_order_acquire); }
    bool ready() const { return ready_.load(std::memory_order_acquire); }

    // Screen pass: binds the texture to show, (currentBufferIndex + 1) mod numBuffers, as fragment
    // texture `index` of `encoder`, which marks it in use until the command buffer completes.
    void bindTextureToShow(platform::gpu::RenderCommandEncoder& encoder, std::size_t index);

    // Prediction: the buffer at currentBufferIndex, or none while a screen pass that has not
    // completed samples its texture.
    std::shared_ptr<platform::ml::PixelBuffer> claimBufferToWrite();
    // Prediction, after writing the claimed buffer: currentBufferIndex moves on and ready is set.
    void finishWrite();

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::vector<std::shared_ptr<platform::ml::PixelBuffer>> buffers_;
    std::vector<std::shared_ptr<platform::gpu::Texture>> textures_;
    std::atomic<std::size_t> currentBufferIndex_{0};
    std::atomic<bool> ready_{false};
    std::mutex showing_;
};

} // namespace MivoKit
