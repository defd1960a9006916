#include "platform/ml/ml_multi_array.hpp"

#include "platform/gpu/half.hpp"

#include <cstring>
#include <string>

namespace MivoKit {

namespace platform::ml {

namespace {

void checkShape(const std::vector<std::int64_t>& shape) {
    if (shape.empty()) throw MLError("A multi-array needs at least one dimension");
    for (std::int64_t dimension : shape)
        if (dimension <= 0) throw MLError("Multi-array dimension " + std::to_string(dimension) + " is not positive");
}

std::vector<std::int64_t> contiguousStrides(const std::vector<std::int64_t>& shape) {
    std::vector<std::int64_t> strides(shape.size());
    std::int64_t stride = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= shape[i];
    }
    return strides;
}

std::int64_t product(const std::vector<std::int64_t>& shape) {
    std::int64_t n = 1;
    for (std::int64_t dimension : shape) n *= dimension;
    return n;
}

} // namespace

std::size_t bytesPerElement(MLMultiArrayDataType type) {
    switch (type) {
    case MLMultiArrayDataType::float16: return 2;
    case MLMultiArrayDataType::float32: return 4;
    }
    return 0;
}

MLMultiArray::MLMultiArray(void* data, std::vector<std::int64_t> shape, MLMultiArrayDataType dataType,
                           std::vector<std::int64_t> strides, std::function<void(void*)> deallocator)
    : data_(data), shape_(std::move(shape)), dataType_(dataType), strides_(std::move(strides)),
      deallocator_(std::move(deallocator)) {
    checkShape(shape_);
    if (strides_.size() != shape_.size())
        throw MLError("A multi-array of " + std::to_string(shape_.size()) + " dimensions was given " +
                      std::to_string(strides_.size()) + " strides");
    if (!data_) throw MLError("A multi-array cannot view a null pointer");
}

MLMultiArray::MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType)
    : data_(nullptr), shape_(std::move(shape)), dataType_(dataType) {
    checkShape(shape_);
    strides_ = contiguousStrides(shape_);
    const std::size_t bytes = static_cast<std::size_t>(product(shape_)) * bytesPerElement(dataType_);
    owned_ = std::make_unique<std::byte[]>(bytes); // value-initialised: zero-filled
    data_ = owned_.get();
}

MLMultiArray::~MLMultiArray() {
    if (deallocator_) deallocator_(data_);
}

std::int64_t MLMultiArray::count() const { return product(shape_); }

float MLMultiArray::value(const std::vector<std::int64_t>& index) const {
    if (index.size() != shape_.size()) throw MLError("A multi-array index needs one value per dimension");
    std::int64_t offset = 0;
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 0 || index[i] >= shape_[i]) throw MLError("Multi-array index out of range");
        offset += index[i] * strides_[i];
    }
    const std::byte* element = static_cast<const std::byte*>(data_) + offset * std::int64_t(bytesPerElement(dataType_));
    if (dataType_ == MLMultiArrayDataType::float16) {
        std::uint16_t bits;
        std::memcpy(&bits, element, sizeof bits);
        return gpu::halfToFloat(bits);
    }
    float v;
    std::memcpy(&v, element, sizeof v);
    return v;
}

} // namespace platform::ml

} // namespace MivoKit
