#include "kit/io/byte_order.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>

using namespace MivoKit;

namespace {

using byte_order::read;
using byte_order::readArray;

TEST(ByteOrder, ReadsEachOrderFromRawMemory) {
    const std::array<std::uint8_t, 4> one{0x3F, 0x80, 0x00, 0x00};
    EXPECT_EQ(read<float>(one.data(), true), 1.0f);
    float denormal = read<float>(one.data(), false);
    EXPECT_EQ(std::fpclassify(denormal), FP_SUBNORMAL);
    EXPECT_NEAR(denormal, 4.6006e-41f, 1e-44f);

    const std::array<std::uint8_t, 2> u16{0x01, 0x02};
    EXPECT_EQ(read<std::uint16_t>(u16.data(), true), 258);
    EXPECT_EQ(read<std::uint16_t>(u16.data(), false), 513);
    const std::array<std::uint8_t, 2> i16{0xFF, 0xFE};
    EXPECT_EQ(read<std::int16_t>(i16.data(), true), -2);
    EXPECT_EQ(read<std::int16_t>(i16.data(), false), -257);

    const std::uint8_t byte = 0xF0;
    EXPECT_EQ(read<std::int8_t>(&byte, true), read<std::int8_t>(&byte, false));
    EXPECT_EQ(read<std::uint8_t>(&byte, true), 0xF0);
}

TEST(ByteOrder, ReadsUnalignedValuesAndListsWithoutChangingBits) {
    // A float at offset 1, then a big-endian double 1.5, then a NaN with payload.
    std::array<std::uint8_t, 32> bytes{};
    bytes[1] = 0x00, bytes[2] = 0x00, bytes[3] = 0xC0, bytes[4] = 0x3F; // 1.5f little-endian
    const std::array<std::uint8_t, 8> onePointFive{0x3F, 0xF8, 0, 0, 0, 0, 0, 0};
    std::copy(onePointFive.begin(), onePointFive.end(), bytes.begin() + 5);
    const std::uint32_t nanBits = 0x7FA12345;
    for (int i = 0; i < 4; ++i) bytes[13 + i] = static_cast<std::uint8_t>(nanBits >> (24 - 8 * i));

    EXPECT_EQ(read<float>(bytes.data(), 1, false), 1.5f);
    EXPECT_EQ(read<double>(bytes.data(), 5, true), 1.5);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read<float>(bytes.data(), 13, true)), nanBits);
    EXPECT_TRUE(std::signbit(read<float>(std::array<std::uint8_t, 4>{0x80, 0, 0, 0}.data(), true)));

    auto list = readArray<std::uint16_t>(bytes.data(), 1, 2, false);
    EXPECT_EQ(list, (std::vector<std::uint16_t>{0x0000, 0x3FC0}));
    EXPECT_EQ(readArray<std::int32_t>(bytes.data(), 0, true).size(), 0u);
    EXPECT_TRUE(readArray<double>(bytes.data(), 3, 0, false).empty());
}

TEST(ByteOrder, ByteContainerReadsNeverPassTheEnd) {
    const std::array<std::uint8_t, 2> twoBytes{0x01, 0x02};
    std::span<const std::uint8_t> data(twoBytes);
    EXPECT_EQ(read<std::uint32_t>(data, false), 513u);
    EXPECT_EQ(read<std::uint32_t>(data, true), 16908288u);
    EXPECT_EQ(read<std::uint32_t>(data, 2, true), 0u); // at the end: zero
    EXPECT_EQ(read<std::uint8_t>(data, 1, true), 2);

    auto values = readArray<std::uint16_t>(data, 0, 3, true);
    EXPECT_EQ(values, (std::vector<std::uint16_t>{0x0102, 0, 0}));
    auto floats = readArray<float>(data, 2, 2, false);
    EXPECT_EQ(floats, (std::vector<float>{0.0f, 0.0f}));
}

TEST(ByteOrder, SwapsEveryWidth) {
    EXPECT_EQ(byte_order::byteSwapped<std::int8_t>(-3), -3);
    EXPECT_EQ(byte_order::byteSwapped<std::uint32_t>(0x01020304u), 0x04030201u);
    EXPECT_EQ(byte_order::byteSwapped<std::int64_t>(0x0102030405060708), 0x0807060504030201);
    EXPECT_EQ(byte_order::fromBitPattern<double>(byte_order::bitPattern(-0.25)), -0.25);
    EXPECT_FALSE(byte_order::hostIsBigEndian());
}

} // namespace
