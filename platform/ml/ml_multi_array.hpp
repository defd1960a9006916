#pragma once
// Stand-in for the platform's multi-dimensional array: a shape, element strides, an element type
// and a data pointer, either owned or viewing someone else's memory (which must outlive the array).

#include "platform/ml/ml_error.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace MivoKit {

namespace platform::ml {

enum class MLMultiArrayDataType { float16, float32 };

std::size_t bytesPerElement(MLMultiArrayDataType type);

class MLMultiArray {
public:
    // Views `data` without copying; `deallocator` (may be empty) runs when the array is destroyed.
    // Throws MLError for an empty shape, a non-positive dimension, a stride count that differs from
    // the shape's or a null pointer.
    MLMultiArray(void* data, std::vector<std::int64_t> shape, MLMultiArrayDataType dataType,
                 std::vector<std::int64_t> strides, std::function<void(void*)> deallocator = {});
    // Owned, zero-filled memory with contiguous (last dimension fastest) strides.
    MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType);
    ~MLMultiArray();
    MLMultiArray(const MLMultiArray&) = delete;
    MLMultiArray& operator=(const MLMultiArray&) = delete;

    const std::vector<std::int64_t>& shape() const { return shape_; }
    const std::vector<std::int64_t>& strides() const { return strides_; }
    MLMultiArrayDataType dataType() const { return dataType_; }
    void* dataPointer() const { return data_; }
    // The product of the shape.
    std::int64_t count() const;
    // The element at `index` (one value per dimension) as a float; throws MLError for an index of
    // the wrong length or outside the shape.
    float value(const std::vector<std::int64_t>& index) const;

private:
    void* data_;
    std::vector<std::int64_t> shape_;
    MLMultiArrayDataType dataType_;
    std::vector<std::int64_t> strides_;
    std::function<void(void*)> deallocator_;
    std::unique_ptr<std::byte[]> owned_;
};

} // namespace platform::ml

} // namespace MivoKit
