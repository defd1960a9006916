#include "kit/render/sr/sr_pixel_buffer.hpp"

namespace MivoKit {

SRPixelBuffer::SRPixelBuffer(std::shared_ptr<platform::gpu::Device> device, std::uint32_t width, std::uint32_t height)
    : device_(std::move(device)) {
    for (std::size_t i = 0; i < kBufferCount; ++i) {
        auto buffer = platform::ml::PixelBuffer::make(device_, width, height, platform::ml::PixelBufferFormat::bgra8);
        // The network writes colour as it is shown; reading it as sRGB lets the screen pass write
        // the same bytes into the view's sRGB drawable instead of encoding them a second time.
        auto texture = buffer ? buffer->makeTexture(platform::gpu::PixelFormat::bgra8Unorm_srgb) : nullptr;
        if (!texture) throw Error(ErrorCode::pixelBufferCreationFailed, "Failed to create the SR output buffers");
        buffer->fill(1, 1, 1, 1);
        buffers_.push_back(std::move(buffer));
        textures_.push_back(std::move(texture));
    }
}

void SRPixelBuffer::bindTextureToShow(platform::gpu::RenderCommandEncoder& encoder, std::size_t index) {
    std::lock_guard lock(showing_);
    encoder.setFragmentTexture(textures_[(currentBufferIndex() + 1) % numBuffers()], index);
}

std::shared_ptr<platform::ml::PixelBuffer> SRPixelBuffer::claimBufferToWrite() {
    std::lock_guard lock(showing_);
    const std::size_t index = currentBufferIndex();
    if (textures_[index]->isInUseByGPU()) return nullptr;
    return buffers_[index];
}

void SRPixelBuffer::finishWrite() {
    currentBufferIndex_.store((currentBufferIndex() + 1) % numBuffers(), std::memory_order_release);
    ready_.store(true, std::memory_order_release);
}

} // namespace MivoKit
