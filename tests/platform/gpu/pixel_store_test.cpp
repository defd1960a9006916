// 8-bit stores, a whole row at a time and pixel by pixel, against the rounding rule of the format:
// clamp to [0, 1] (NaN to 0), then round half up to a multiple of 1/255.

#include "platform/gpu/pixel_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

using namespace MivoKit;

using namespace platform::gpu;

namespace {

std::uint8_t unorm8(float v) {
    if (std::isnan(v) || v <= 0.0f) return 0;
    if (v >= 1.0f) return 255;
    return std::uint8_t(std::floor(double(v * 255.0f + 0.5f)));
}

TEST(PixelStore, Bgra8RowsRoundAndClampLikeOnePixelForEveryLengthAndValue) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::vector<float> values = {nan,    -nan,   inf,  -inf,       -0.0f,       0.0f,
                                 -1e-30f, 1e-30f, 1.0f, 1.0000001f, 0.99999994f, 2.5f};
    // Both sides of every rounding boundary (k + 0.5) / 255.
    for (int k = 0; k < 255; ++k) {
        const float edge = (float(k) + 0.5f) / 255.0f;
        values.push_back(std::nextafter(edge, 0.0f));
        values.push_back(edge);
        values.push_back(std::nextafter(edge, 1.0f));
    }
    for (std::size_t length = 1; length <= 19; ++length) {
        for (std::size_t start = 0; start + 4 * length <= values.size(); start += 4 * length) {
            const float* rgba = values.data() + start;
            std::vector<std::byte> row(4 * length + 1, std::byte{0x5a});
            storePixels(PixelFormat::bgra8Unorm, rgba, row.data(), length);
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint8_t want[4] = {unorm8(rgba[4 * i + 2]), unorm8(rgba[4 * i + 1]), unorm8(rgba[4 * i]),
                                              unorm8(rgba[4 * i + 3])};
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(std::uint8_t(row[4 * i + c]), want[c])
                        << "length " << length << " pixel " << i << " channel " << c;
            }
            EXPECT_EQ(row.back(), std::byte{0x5a}) << "wrote past the row of " << length;
        }
    }
}

} // namespace
