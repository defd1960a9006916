#pragma once
// A 2D texture (optionally an array of 2D slices) in CPU-visible memory, either its own or
// aliasing a buffer. Rows are `bytesPerRow` apart; slices follow each other.

#include "platform/gpu/resource.hpp"
#include "platform/gpu/types.hpp"
#include "platform/simd/simd.hpp"

#include <cstddef>
#include <memory>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

class Buffer;

struct TextureDescriptor {
    PixelFormat pixelFormat = PixelFormat::bgra8Unorm;
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    std::uint32_t arrayLength = 1; // number of 2D slices
    unsigned usage = TextureUsage::shaderRead;
};

class Texture : public Resource {
public:
    // Own, zero-filled storage.
    explicit Texture(const TextureDescriptor& descriptor);
    // Aliases `buffer` from `offset` on (checked by Buffer::makeTexture).
    Texture(const TextureDescriptor& descriptor, std::shared_ptr<Buffer> buffer, std::size_t offset,
            std::size_t bytesPerRow);

    PixelFormat pixelFormat() const { return descriptor_.pixelFormat; }
    std::uint32_t width() const { return descriptor_.width; }
    std::uint32_t height() const { return descriptor_.height; }
    std::uint32_t arrayLength() const { return descriptor_.arrayLength; }
    unsigned usage() const { return descriptor_.usage; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    // The buffer this texture aliases, if any.
    const std::shared_ptr<Buffer>& buffer() const { return buffer_; }

    std::byte* row(std::uint32_t y, std::uint32_t slice = 0) { return base_ + slice * sliceBytes() + y * bytesPerRow_; }
    const std::byte* row(std::uint32_t y, std::uint32_t slice = 0) const {
        return base_ + slice * sliceBytes() + y * bytesPerRow_;
    }

    // Copies raw pixels in or out of `region` of `slice`; rows of the caller's memory are
    // `bytesPerRow` apart. Regions outside the texture are clipped.
    void replace(const Region& region, const void* bytes, std::size_t bytesPerRow, std::uint32_t slice = 0);
    void getBytes(void* bytes, std::size_t bytesPerRow, const Region& region, std::uint32_t slice = 0) const;

    // One pixel as four floats in (r, g, b, a) order: normalised formats in 0 to 1, sRGB decoded
    // to linear; depth in x. For shader functions.
    simd::float4 read(std::uint32_t x, std::uint32_t y, std::uint32_t slice = 0) const;
    void write(simd::float4 value, std::uint32_t x, std::uint32_t y, std::uint32_t slice = 0);

private:
    std::size_t sliceBytes() const { return bytesPerRow_ * descriptor_.height; }

    TextureDescriptor descriptor_;
    std::size_t bytesPerRow_;
    std::vector<std::byte> storage_;
    std::shared_ptr<Buffer> buffer_;
    std::byte* base_;
};

} // namespace platform::gpu

} // namespace MivoKit
