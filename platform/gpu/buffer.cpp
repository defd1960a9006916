#include "platform/gpu/buffer.hpp"

#include "platform/gpu/texture.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace MivoKit {

namespace platform::gpu {

Buffer::Buffer(std::size_t length) : length_(length) {
    const std::size_t rounded = (length + 63) / 64 * 64;
    data_ = static_cast<std::byte*>(std::aligned_alloc(64, rounded == 0 ? 64 : rounded));
    if (!data_) throw std::bad_alloc();
    std::memset(data_, 0, length);
}

Buffer::~Buffer() { std::free(data_); }

std::shared_ptr<Texture> Buffer::makeTexture(const TextureDescriptor& descriptor, std::size_t offset,
                                             std::size_t bytesPerRow) {
    const std::size_t rowBytes = std::size_t(descriptor.width) * bytesPerPixel(descriptor.pixelFormat);
    if (rowBytes == 0 || descriptor.height == 0 || descriptor.arrayLength == 0 || bytesPerRow < rowBytes) return nullptr;
    const std::size_t needed = bytesPerRow * descriptor.height * descriptor.arrayLength;
    if (offset > length_ || length_ - offset < needed) return nullptr;
    return std::make_shared<Texture>(descriptor, shared_from_this(), offset, bytesPerRow);
}

} // namespace platform::gpu

} // namespace MivoKit
