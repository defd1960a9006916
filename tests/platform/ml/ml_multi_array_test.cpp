// Multi-arrays: owned and viewing memory, strides, half values, and the shapes they refuse.

#include "platform/ml/ml_multi_array.hpp"

#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace MivoKit;

using namespace platform::ml;
using platform::gpu::floatToHalf;
using platform::gpu::halfToFloat;

namespace {

using Shape = std::vector<std::int64_t>;

TEST(MLMultiArray, OwnedArraysArePackedAndZeroFilled) {
    EXPECT_EQ(bytesPerElement(MLMultiArrayDataType::float16), 2u);
    EXPECT_EQ(bytesPerElement(MLMultiArrayDataType::float32), 4u);
    for (auto type : {MLMultiArrayDataType::float16, MLMultiArrayDataType::float32}) {
        MLMultiArray array(Shape{8, 3, 5}, type);
        EXPECT_EQ(array.shape(), (Shape{8, 3, 5}));
        EXPECT_EQ(array.strides(), (Shape{15, 5, 1}));
        EXPECT_EQ(array.dataType(), type);
        EXPECT_EQ(array.count(), 120);
        ASSERT_NE(array.dataPointer(), nullptr);
        for (std::int64_t c = 0; c < 8; ++c)
            for (std::int64_t y = 0; y < 3; ++y)
                for (std::int64_t x = 0; x < 5; ++x) ASSERT_EQ(array.value({c, y, x}), 0.0f);
    }
}

TEST(MLMultiArray, ViewsReadHalvesAndFloatsInPlaceThroughTheirStrides) {
    // Two channels of 3 x 4 halves, rows padded to 6 elements and channels to 20.
    std::vector<std::uint16_t> halves(40, floatToHalf(-1.0f));
    auto half = [](std::int64_t c, std::int64_t y, std::int64_t x) { return 0.1f * float(c * 100 + y * 10 + x); };
    for (std::int64_t c = 0; c < 2; ++c)
        for (std::int64_t y = 0; y < 3; ++y)
            for (std::int64_t x = 0; x < 4; ++x) halves[c * 20 + y * 6 + x] = floatToHalf(half(c, y, x));
    MLMultiArray view(halves.data(), {2, 3, 4}, MLMultiArrayDataType::float16, {20, 6, 1});
    EXPECT_EQ(view.dataPointer(), halves.data());
    EXPECT_EQ(view.strides(), (Shape{20, 6, 1}));
    EXPECT_EQ(view.count(), 24);
    for (std::int64_t c = 0; c < 2; ++c)
        for (std::int64_t y = 0; y < 3; ++y)
            for (std::int64_t x = 0; x < 4; ++x)
                EXPECT_EQ(view.value({c, y, x}), halfToFloat(floatToHalf(half(c, y, x)))) << c << y << x;

    // Writes through the memory show in the view: it holds no copy.
    halves[20 + 6 + 2] = floatToHalf(2.5f);
    EXPECT_EQ(view.value({1, 1, 2}), 2.5f);

    // Floats stored column-major: the strides alone decide where an element is.
    std::vector<float> floats{1, 2, 3, 4, 5, 6};
    MLMultiArray columns(floats.data(), {2, 3}, MLMultiArrayDataType::float32, {1, 2});
    EXPECT_EQ(columns.value({0, 0}), 1.0f);
    EXPECT_EQ(columns.value({1, 0}), 2.0f);
    EXPECT_EQ(columns.value({0, 2}), 5.0f);
    EXPECT_THROW(columns.value({2, 0}), MLError);
    EXPECT_THROW(columns.value({0}), MLError);
}

TEST(MLMultiArray, TheDeallocatorRunsOnceWithTheDataWhenTheArrayEnds) {
    std::vector<float> memory(4);
    std::vector<void*> released;
    {
        MLMultiArray view(memory.data(), {4}, MLMultiArrayDataType::float32, {1},
                          [&](void* data) { released.push_back(data); });
        EXPECT_TRUE(released.empty());
    }
    EXPECT_EQ(released, std::vector<void*>{memory.data()});
}

TEST(MLMultiArray, RefusesEmptyShapesNonPositiveDimensionsMismatchedStridesAndNull) {
    float data[8] = {};
    const auto f32 = MLMultiArrayDataType::float32;
    EXPECT_THROW(MLMultiArray(data, {}, f32, {}), MLError);
    EXPECT_THROW(MLMultiArray(data, {2, 0}, f32, {1, 1}), MLError);
    EXPECT_THROW(MLMultiArray(data, {-2, 4}, f32, {4, 1}), MLError);
    EXPECT_THROW(MLMultiArray(data, {2, 4}, f32, {1}), MLError);
    EXPECT_THROW(MLMultiArray(data, {2, 4}, f32, {4, 1, 1}), MLError);
    EXPECT_THROW(MLMultiArray(nullptr, {2, 4}, f32, {4, 1}), MLError);
    EXPECT_THROW(MLMultiArray(Shape{}, f32), MLError);
    EXPECT_THROW(MLMultiArray(Shape{3, 0}, MLMultiArrayDataType::float16), MLError);
    EXPECT_NO_THROW(MLMultiArray(data, {2, 4}, f32, {4, 1}));
}

} // namespace
