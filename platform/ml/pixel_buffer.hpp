#pragma once
// Stand-in for the platform's pixel buffers: an image in memory that a network writes into and a
// GPU texture shows without a copy. The pixels live in a GPU buffer of the device, so
// makeTexture() gives a texture aliasing the same bytes.
//
// Thread-safety: the pixels are plain memory; whoever writes them (a prediction) and whoever
// samples the texture (a screen pass) must not overlap, which the renderer arranges.

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

#include <cstdint>
#include <memory>

namespace MivoKit {

namespace platform::ml {

enum class PixelBufferFormat {
    bgra8, // 8-bit blue, green, red, alpha, as the GPU's bgra8Unorm
};

class PixelBuffer {
public:
    // Null when the device cannot make the memory.
    static std::shared_ptr<PixelBuffer> make(const std::shared_ptr<gpu::Device>& device, std::uint32_t width,
                                             std::uint32_t height, PixelBufferFormat format = PixelBufferFormat::bgra8);

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    PixelBufferFormat format() const { return format_; }
    // Rows start on 64-byte boundaries, so this may exceed width times the pixel size.
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    std::byte* baseAddress() { return buffer_->contents(); }
    const std::byte* baseAddress() const { return buffer_->contents(); }

    // Fills every pixel with one colour (components 0 to 1).
    void fill(float red, float green, float blue, float alpha);
    // A texture showing these pixels (the same memory, bgra8Unorm, for shader reads), made once
    // with the buffer and then reused; null when the GPU refuses it.
    std::shared_ptr<gpu::Texture> texture();
    // Another texture over the same pixels that reads them in `format`: bgra8Unorm, or
    // bgra8Unorm_srgb to have samples decoded from sRGB; none for any other format.
    std::shared_ptr<gpu::Texture> makeTexture(gpu::PixelFormat format);

private:
    PixelBuffer(std::shared_ptr<gpu::Buffer> buffer, std::uint32_t width, std::uint32_t height,
                PixelBufferFormat format, std::size_t bytesPerRow);

    std::shared_ptr<gpu::Buffer> buffer_;
    std::uint32_t width_, height_;
    PixelBufferFormat format_;
    std::size_t bytesPerRow_;
    std::shared_ptr<gpu::Texture> texture_;
};

} // namespace platform::ml

} // namespace MivoKit
