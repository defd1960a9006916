#include "kit/render/metal_buffer.hpp"

#include "platform/log/log.hpp"

#include <cstdio>

namespace MivoKit {

MetalBufferError MetalBufferError::capacityGreatedThanMaxCapacity(std::size_t requested, std::size_t max) {
    return MetalBufferError(MetalBufferErrorCode::capacityGreatedThanMaxCapacity,
                            "Requested metal buffer size (" + std::to_string(requested) + ") exceeds device maximum (" +
                                std::to_string(max) + ")",
                            requested, max);
}

MetalBufferError MetalBufferError::bufferCreationFailed() {
    return MetalBufferError(MetalBufferErrorCode::bufferCreationFailed, "Failed to create metal buffer", 0, 0);
}

namespace metal_buffer_detail {

void logAllocation(std::size_t stride, std::size_t count) {
    // Never destroyed: buffers grow on whichever thread draws, also while the process exits.
    static const auto& logger = *new platform::log::Logger("MetalBuffer", "MetalBuffer");
    const float megabytes = static_cast<float>(stride * count) / 1048576.0f;
    char line[128];
    std::snprintf(line, sizeof line, "Allocating a new buffer of size %ld * %ld = %fmb", static_cast<long>(stride),
                  static_cast<long>(count), static_cast<double>(megabytes));
    logger.info(line);
}

std::shared_ptr<platform::gpu::Buffer> allocate(platform::gpu::Device& device, std::size_t stride, std::size_t count) {
    const std::size_t max = device.maxBufferLength() / stride;
    if (count > max) throw MetalBufferError::capacityGreatedThanMaxCapacity(count, max);
    auto buffer = device.makeBuffer(count * stride);
    if (!buffer) throw MetalBufferError::bufferCreationFailed();
    return buffer;
}

std::shared_ptr<platform::ml::MLMultiArray> halfMultiArray(void* data, std::size_t capacity, std::size_t channels,
                                                           std::size_t height, std::size_t width) {
    const std::size_t elements = channels * height * width;
    // One record holds eight halves; a partly needed record must be there too.
    if (capacity < (elements + 7) / 8)
        throw platform::ml::MLError("Buffer size (" + std::to_string(capacity) + ") doesn't match required dimensions (" +
                                    std::to_string(elements) + ")");
    const auto c = static_cast<std::int64_t>(channels), h = static_cast<std::int64_t>(height),
               w = static_cast<std::int64_t>(width);
    return std::make_shared<platform::ml::MLMultiArray>(data, std::vector<std::int64_t>{c, h, w},
                                                        platform::ml::MLMultiArrayDataType::float16,
                                                        std::vector<std::int64_t>{h * w, w, 1});
}

} // namespace metal_buffer_detail

} // namespace MivoKit
