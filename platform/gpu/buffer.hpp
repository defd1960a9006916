#pragma once
// A GPU buffer in memory shared between the CPU and the GPU: the CPU writes through contents()
// and the GPU reads the same bytes.

#include "platform/gpu/resource.hpp"
#include "platform/gpu/types.hpp"

#include <cstddef>
#include <memory>

namespace MivoKit {

namespace platform::gpu {

class Texture;
struct TextureDescriptor;

class Buffer : public Resource, public std::enable_shared_from_this<Buffer> {
public:
    // Made by a device; `length` bytes, zero-filled, 64-byte aligned.
    explicit Buffer(std::size_t length);
    ~Buffer() override;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::size_t length() const { return length_; }
    std::byte* contents() { return data_; }
    const std::byte* contents() const { return data_; }

    // A texture whose pixels are this buffer's bytes from `offset` on, rows `bytesPerRow` apart.
    // None when the texture does not fit in the buffer or the row pitch is too small.
    std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor, std::size_t offset,
                                         std::size_t bytesPerRow);

private:
    std::size_t length_;
    std::byte* data_;
};

} // namespace platform::gpu

} // namespace MivoKit
