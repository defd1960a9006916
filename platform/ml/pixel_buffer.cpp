#include "platform/ml/pixel_buffer.hpp"

#include "platform/gpu/pixel_format.hpp"

#include <array>
#include <cstring>

namespace MivoKit {

namespace platform::ml {

namespace {

// Rows start on 64-byte boundaries, as the platform's pixel buffers lay them out; code that
// walks the pixels must use bytesPerRow().
constexpr std::size_t kRowAlignment = 64;

gpu::PixelFormat gpuFormat(PixelBufferFormat format) {
    switch (format) {
    case PixelBufferFormat::bgra8: return gpu::PixelFormat::bgra8Unorm;
    }
    return gpu::PixelFormat::invalid;
}

} // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::make(const std::shared_ptr<gpu::Device>& device, std::uint32_t width,
                                               std::uint32_t height, PixelBufferFormat format) {
    if (!device || width == 0 || height == 0) return nullptr;
    const std::size_t rowBytes = std::size_t(width) * gpu::bytesPerPixel(gpuFormat(format));
    const std::size_t bytesPerRow = (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    auto buffer = device->makeBuffer(bytesPerRow * height);
    if (!buffer) return nullptr;
    return std::shared_ptr<PixelBuffer>(new PixelBuffer(std::move(buffer), width, height, format, bytesPerRow));
}

PixelBuffer::PixelBuffer(std::shared_ptr<gpu::Buffer> buffer, std::uint32_t width, std::uint32_t height,
                         PixelBufferFormat format, std::size_t bytesPerRow)
    : buffer_(std::move(buffer)), width_(width), height_(height), format_(format), bytesPerRow_(bytesPerRow) {
    // Made here rather than on first use, so texture() never races with itself across threads.
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpuFormat(format);
    descriptor.width = width;
    descriptor.height = height;
    descriptor.usage = gpu::TextureUsage::shaderRead;
    texture_ = buffer_->makeTexture(descriptor, 0, bytesPerRow_);
}

void PixelBuffer::fill(float red, float green, float blue, float alpha) {
    const gpu::PixelFormat format = gpuFormat(format_);
    const std::size_t pixelBytes = gpu::bytesPerPixel(format);
    const std::array<float, 4> rgba{red, green, blue, alpha};
    std::array<std::byte, 16> pixel{};
    gpu::storePixels(format, rgba.data(), pixel.data(), 1);
    std::byte* firstRow = baseAddress();
    for (std::uint32_t x = 0; x < width_; ++x) std::memcpy(firstRow + x * pixelBytes, pixel.data(), pixelBytes);
    for (std::uint32_t y = 1; y < height_; ++y)
        std::memcpy(firstRow + y * bytesPerRow_, firstRow, std::size_t(width_) * pixelBytes);
}

std::shared_ptr<gpu::Texture> PixelBuffer::texture() { return texture_; }

std::shared_ptr<gpu::Texture> PixelBuffer::makeTexture(gpu::PixelFormat format) {
    if (format != gpu::PixelFormat::bgra8Unorm && format != gpu::PixelFormat::bgra8Unorm_srgb) return nullptr;
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = format;
    descriptor.width = width_;
    descriptor.height = height_;
    descriptor.usage = gpu::TextureUsage::shaderRead;
    return buffer_->makeTexture(descriptor, 0, bytesPerRow_);
}

} // namespace platform::ml

} // namespace MivoKit
