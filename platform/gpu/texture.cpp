#include "platform/gpu/texture.hpp"

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/pixel_format.hpp"

#include <algorithm>
#include <cstring>

namespace MivoKit {

namespace platform::gpu {

Texture::Texture(const TextureDescriptor& descriptor)
    : descriptor_(descriptor), bytesPerRow_(std::size_t(descriptor.width) * bytesPerPixel(descriptor.pixelFormat)),
      storage_(bytesPerRow_ * descriptor.height * descriptor.arrayLength), base_(storage_.data()) {}

Texture::Texture(const TextureDescriptor& descriptor, std::shared_ptr<Buffer> buffer, std::size_t offset,
                 std::size_t bytesPerRow)
    : descriptor_(descriptor), bytesPerRow_(bytesPerRow), buffer_(std::move(buffer)),
      base_(buffer_->contents() + offset) {}

namespace {

// The part of `region` inside a width x height image.
Region clip(const Region& region, std::uint32_t width, std::uint32_t height) {
    Region r = region;
    if (r.x >= width || r.y >= height) return {r.x, r.y, 0, 0};
    r.width = std::min(r.width, width - r.x);
    r.height = std::min(r.height, height - r.y);
    return r;
}

} // namespace

void Texture::replace(const Region& region, const void* bytes, std::size_t bytesPerRow, std::uint32_t slice) {
    if (slice >= arrayLength()) return;
    const Region r = clip(region, width(), height());
    const std::size_t pixel = bytesPerPixel(pixelFormat());
    for (std::uint32_t y = 0; y < r.height; ++y)
        std::memcpy(row(r.y + y, slice) + r.x * pixel, static_cast<const std::byte*>(bytes) + y * bytesPerRow,
                    r.width * pixel);
}

void Texture::getBytes(void* bytes, std::size_t bytesPerRow, const Region& region, std::uint32_t slice) const {
    if (slice >= arrayLength()) return;
    const Region r = clip(region, width(), height());
    const std::size_t pixel = bytesPerPixel(pixelFormat());
    for (std::uint32_t y = 0; y < r.height; ++y)
        std::memcpy(static_cast<std::byte*>(bytes) + y * bytesPerRow, row(r.y + y, slice) + r.x * pixel,
                    r.width * pixel);
}

simd::float4 Texture::read(std::uint32_t x, std::uint32_t y, std::uint32_t slice) const {
    if (x >= width() || y >= height() || slice >= arrayLength()) return {};
    float rgba[4];
    loadPixels(pixelFormat(), row(y, slice) + x * bytesPerPixel(pixelFormat()), rgba, 1);
    return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

void Texture::write(simd::float4 value, std::uint32_t x, std::uint32_t y, std::uint32_t slice) {
    if (x >= width() || y >= height() || slice >= arrayLength()) return;
    const float rgba[4] = {value.x, value.y, value.z, value.w};
    storePixels(pixelFormat(), rgba, row(y, slice) + x * bytesPerPixel(pixelFormat()), 1);
}

} // namespace platform::gpu

} // namespace MivoKit
