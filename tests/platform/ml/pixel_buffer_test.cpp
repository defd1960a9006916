// Pixel buffers: device memory laid out in aligned rows, and the texture that shows the same bytes.

#include "platform/ml/pixel_buffer.hpp"

#include "tests/platform/ml/ml_test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>

using namespace MivoKit;

using namespace platform::ml;
using namespace platform::gpu;

namespace {

std::shared_ptr<Device> softwareDevice() {
    static const std::shared_ptr<Device> shared = std::make_shared<SoftwareDevice>();
    return shared;
}

TEST(PixelBuffer, HoldsItsPixelsInAlignedRowsOfOneDeviceBuffer) {
    auto image = PixelBuffer::make(softwareDevice(), 21, 3);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 21u);
    EXPECT_EQ(image->height(), 3u);
    EXPECT_EQ(image->format(), PixelBufferFormat::bgra8);
    EXPECT_GE(image->bytesPerRow(), 21u * 4);
    EXPECT_EQ(image->bytesPerRow() % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image->baseAddress()) % 64, 0u);

    EXPECT_FALSE(PixelBuffer::make(softwareDevice(), 0, 3));
    EXPECT_FALSE(PixelBuffer::make(softwareDevice(), 3, 0));
    EXPECT_FALSE(PixelBuffer::make(nullptr, 3, 3));
    SoftwareDeviceDescriptor small;
    small.maxBufferLength = 1024;
    EXPECT_FALSE(PixelBuffer::make(std::make_shared<SoftwareDevice>(small), 64, 64));
}

TEST(PixelBuffer, TheTextureShowsThePixelsWrittenEitherWay) {
    auto image = PixelBuffer::make(softwareDevice(), 21, 3);
    ASSERT_TRUE(image);
    auto texture = image->texture();
    ASSERT_TRUE(texture);
    EXPECT_EQ(image->texture(), texture);
    EXPECT_EQ(texture->pixelFormat(), PixelFormat::bgra8Unorm);
    EXPECT_EQ(texture->width(), 21u);
    EXPECT_EQ(texture->height(), 3u);
    EXPECT_EQ(texture->bytesPerRow(), image->bytesPerRow());
    EXPECT_EQ(texture->row(0), image->baseAddress());

    // A pixel written into the buffer's memory, read through the texture.
    std::byte* p = image->baseAddress() + 2 * image->bytesPerRow() + 20 * 4;
    p[0] = std::byte{51};  // blue
    p[1] = std::byte{102}; // green
    p[2] = std::byte{255}; // red
    p[3] = std::byte{0};
    const simd::float4 read = texture->read(20, 2);
    EXPECT_FLOAT_EQ(read.x, 1.0f);
    EXPECT_FLOAT_EQ(read.y, 102 / 255.0f);
    EXPECT_FLOAT_EQ(read.z, 51 / 255.0f);
    EXPECT_FLOAT_EQ(read.w, 0.0f);

    // And the other way round.
    texture->write({0, 1, 0, 1}, 0, 1);
    EXPECT_EQ(mltest::pixelAt(*image, 0, 1), (std::array<int, 4>{0, 255, 0, 255}));
}

TEST(PixelBuffer, FillSetsEveryPixelRoundedToNearest) {
    auto image = PixelBuffer::make(softwareDevice(), 21, 3);
    ASSERT_TRUE(image);
    image->fill(1.0f, 0.5f, 0.25f, 0.2f);
    auto byte = [](float v) { return static_cast<int>(v * 255.0f + 0.5f); };
    const std::array<int, 4> bgra{byte(0.25f), byte(0.5f), 255, byte(0.2f)};
    EXPECT_TRUE(mltest::everyPixelIs(*image, bgra));
    const simd::float4 last = image->texture()->read(20, 2);
    EXPECT_FLOAT_EQ(last.z, bgra[0] / 255.0f);
}

} // namespace
