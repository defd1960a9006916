// Half-precision conversion, bit by bit, against the compiler's own binary16 type as the oracle.

#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

using namespace MivoKit;

using platform::gpu::floatToHalf;
using platform::gpu::halfToFloat;

namespace {

// The oracle needs the compiler's _Float16 (GCC 12, clang 15 on x86); clang 14 has none there, and
// the tests that need it are skipped under it.
#ifdef __FLT16_MAX__
#define MIVO_HAS_FLOAT16 1
std::uint16_t oracle(float f) { return std::bit_cast<std::uint16_t>(static_cast<_Float16>(f)); }
float oracleToFloat(std::uint16_t h) { return static_cast<float>(std::bit_cast<_Float16>(h)); }
#else
#define MIVO_HAS_FLOAT16 0
std::uint16_t oracle(float) { return 0; }
float oracleToFloat(std::uint16_t) { return 0; }
#endif

#define REQUIRE_FLOAT16() \
    if (!MIVO_HAS_FLOAT16) GTEST_SKIP() << "this compiler has no _Float16 to compare with"

TEST(Half, EveryHalfRoundTripsExactly) {
    REQUIRE_FLOAT16();
    for (std::uint32_t h = 0; h < 0x10000; ++h) {
        const float f = halfToFloat(static_cast<std::uint16_t>(h));
        const float expected = oracleToFloat(static_cast<std::uint16_t>(h));
        if (std::isnan(expected)) { // payloads may be quietened; NaN and sign must stay
            ASSERT_TRUE(std::isnan(f)) << std::hex << h;
            ASSERT_EQ(std::signbit(f), std::signbit(expected)) << std::hex << h;
            continue;
        }
        ASSERT_EQ(std::bit_cast<std::uint32_t>(f), std::bit_cast<std::uint32_t>(expected)) << std::hex << h;
        ASSERT_EQ(floatToHalf(f), h) << std::hex << h;
    }
}

TEST(Half, RoundsToNearestEvenAroundEveryHalf) {
    REQUIRE_FLOAT16();
    // For each pair of neighbouring halves: the exact midpoint (a tie) and the floats just either
    // side of it, in every binade including subnormals and the overflow edge.
    for (std::uint32_t h = 0; h < 0x7c00; ++h) {
        for (std::uint32_t sign : {0u, 0x8000u}) {
            const float lo = halfToFloat(static_cast<std::uint16_t>(h | sign));
            const float hi = h + 1 == 0x7c00 ? (sign ? -65536.0f : 65536.0f)
                                             : halfToFloat(static_cast<std::uint16_t>((h + 1) | sign));
            const float mid = lo + (hi - lo) / 2; // exact: one more bit than a half
            for (float f : {mid, std::nextafter(mid, lo), std::nextafter(mid, hi), std::nextafter(lo, hi)})
                ASSERT_EQ(floatToHalf(f), oracle(f)) << std::hexfloat << f;
        }
    }
}

TEST(Half, SpecialValues) {
    EXPECT_EQ(floatToHalf(65519.99f), 0x7bff);
    EXPECT_EQ(floatToHalf(65520.0f), 0x7c00);
    EXPECT_EQ(floatToHalf(1e30f), 0x7c00);
    EXPECT_EQ(floatToHalf(-INFINITY), 0xfc00);
    EXPECT_EQ(floatToHalf(-0.0f), 0x8000);
    EXPECT_EQ(floatToHalf(1e-10f), 0x0000);
    EXPECT_EQ(floatToHalf(5.9604645e-8f), 0x0001); // smallest subnormal
    EXPECT_EQ(floatToHalf(2.9802322e-8f), 0x0000); // half of it: ties to even (zero)
    const std::uint16_t nan = floatToHalf(-NAN);
    EXPECT_EQ(nan & 0x7c00, 0x7c00);
    EXPECT_NE(nan & 0x03ff, 0);
    EXPECT_EQ(nan & 0x8000, 0x8000);
    EXPECT_TRUE(std::isnan(halfToFloat(nan)));
}

} // namespace
