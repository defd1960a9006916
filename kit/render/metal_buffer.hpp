#pragma once
// A typed, resizable array in one GPU buffer shared with the CPU. The CPU writes elements through
// values(); the GPU reads the same memory through buffer(). Sizes are exact: the capacity is
// always what was last asked for (at least 1). A buffer of super-resolution records can also be
// viewed, without a copy, as the network's input array.

#include "kit/model/typed_error.hpp"
#include "platform/gpu/device.hpp"
#include "platform/ml/ml_multi_array.hpp"

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace MivoKit {

struct PackedSRHalf8;

enum class MetalBufferErrorCode { capacityGreatedThanMaxCapacity, bufferCreationFailed };

class MetalBufferError : public TypedError<MetalBufferErrorCode> {
public:
    // "Requested metal buffer size (<requested>) exceeds device maximum (<max>)"; both in elements.
    static MetalBufferError capacityGreatedThanMaxCapacity(std::size_t requested, std::size_t max);
    // "Failed to create metal buffer"
    static MetalBufferError bufferCreationFailed();

    std::size_t requested() const { return requested_; }
    std::size_t max() const { return max_; }

private:
    MetalBufferError(MetalBufferErrorCode code, const std::string& description, std::size_t requested, std::size_t max)
        : TypedError(code, description), requested_(requested), max_(max) {}
    std::size_t requested_;
    std::size_t max_;
};

namespace metal_buffer_detail {
// Logs the allocation of `count` elements of `stride` bytes under subsystem and category "MetalBuffer".
void logAllocation(std::size_t stride, std::size_t count);
// A GPU buffer for `count` elements, or the error of its allocation.
std::shared_ptr<platform::gpu::Buffer> allocate(platform::gpu::Device& device, std::size_t stride, std::size_t count);
// The view of makeMultiArray over `capacity` records of eight halves at `data`.
std::shared_ptr<platform::ml::MLMultiArray> halfMultiArray(void* data, std::size_t capacity, std::size_t channels,
                                                           std::size_t height, std::size_t width);
} // namespace metal_buffer_detail

template <class T>
class MetalBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    using Error = MetalBufferError;
    static constexpr std::size_t stride = sizeof(T);

    // Throws Error when max(capacity, 1) elements exceed the device's limit or cannot be allocated.
    MetalBuffer(std::shared_ptr<platform::gpu::Device> device, std::size_t capacity)
        : device_(std::move(device)), capacity_(std::max<std::size_t>(capacity, 1)) {
        buffer_ = metal_buffer_detail::allocate(*device_, stride, capacity_);
    }

    const std::shared_ptr<platform::gpu::Device>& device() const { return device_; }
    std::size_t capacity() const { return capacity_; }
    const std::shared_ptr<platform::gpu::Buffer>& buffer() const { return buffer_; }
    T* values() { return reinterpret_cast<T*>(buffer_->contents()); }
    const T* values() const { return reinterpret_cast<const T*>(buffer_->contents()); }

    // Elements in use, 0 <= count <= capacity.
    std::size_t count = 0;

    // Sets the capacity to exactly max(n, 1), keeping the first min(count, n) elements. On an error
    // the buffer, capacity and count stay as they were.
    void ensureCapacity(std::size_t n) {
        const std::size_t c = std::max<std::size_t>(n, 1);
        if (c == capacity_) return;
        const std::size_t max = device_->maxBufferLength() / stride;
        if (c > max) throw Error::capacityGreatedThanMaxCapacity(c, max);
        metal_buffer_detail::logAllocation(stride, c);
        replaceStorage(c);
    }

    // The buffer's memory as a channels x height x width array of 16-bit floats with element
    // strides [height * width, width, 1], without a copy and without owning it: this buffer (and
    // its current storage) must outlive the array. Throws platform::ml::MLError
    // "Buffer size (<capacity>) doesn't match required dimensions (<channels * height * width>)"
    // when the capacity is below that many halves over 8 (rounded up to whole records), and the
    // platform's error when it refuses the array.
    std::shared_ptr<platform::ml::MLMultiArray> makeMultiArray(std::size_t channels, std::size_t height,
                                                               std::size_t width)
        requires std::same_as<T, PackedSRHalf8>
    {
        return metal_buffer_detail::halfMultiArray(buffer_->contents(), capacity_, channels, height, width);
    }

    // Moves the elements to fresh storage of the same capacity when a command buffer that has not
    // completed may still read the current one, so the CPU never overwrites what the GPU is about
    // to read. Throws Error when the new storage cannot be allocated.
    void prepareForCPUWrite() {
        if (buffer_->isInUseByGPU()) replaceStorage(capacity_);
    }

private:
    void replaceStorage(std::size_t c) {
        auto fresh = metal_buffer_detail::allocate(*device_, stride, c);
        const std::size_t kept = std::min(count, c);
        std::memcpy(fresh->contents(), buffer_->contents(), kept * stride);
        count = kept;
        capacity_ = c;
        buffer_ = std::move(fresh);
    }

    std::shared_ptr<platform::gpu::Device> device_;
    std::size_t capacity_;
    std::shared_ptr<platform::gpu::Buffer> buffer_;
};

} // namespace MivoKit
