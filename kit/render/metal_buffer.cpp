#include "kit/render/metal_buffer.hpp"

#include "platform/log/log.hpp"

#include <cstdio>

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
    static const platform::log::Logger logger("MetalBuffer", "MetalBuffer");
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

} // namespace metal_buffer_detail
