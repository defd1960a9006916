#include "platform/gpu/buffer.hpp"

#include "platform/gpu/texture.hpp"
#include "platform/memory/recycled_blocks.hpp"

#include <cstring>
#include <new>

namespace MivoKit {

namespace platform::gpu {

namespace {

constexpr std::size_t kAlignment = 64;

std::size_t storageBytes(std::size_t length) {
    return length == 0 ? kAlignment : (length + kAlignment - 1) / kAlignment * kAlignment;
}

// A frame still queued keeps its buffers, so the splat records get a new buffer per frame: its
// storage comes back from the one a finished frame dropped. Kept apart from the splat lists'
// blocks, so neither kind pushes the other out.
memory::RecycledBlocks& bufferBlocks() {
    static auto* blocks = new memory::RecycledBlocks();
    return *blocks;
}

} // namespace

Buffer::Buffer(std::size_t length) : length_(length) {
    if (length > std::size_t(-1) - kAlignment) throw std::bad_alloc();
    data_ = static_cast<std::byte*>(bufferBlocks().allocate(storageBytes(length), kAlignment));
    std::memset(data_, 0, length);
}

Buffer::~Buffer() { bufferBlocks().deallocate(data_, storageBytes(length_), kAlignment); }

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
