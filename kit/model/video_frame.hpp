#pragma once
// A computed splat buffer with the frame it was computed from.

#include "kit/model/flame_frame_data.hpp"
#include "kit/model/splat_memory_buffer.hpp"

namespace MivoKit {

namespace Mivo {

class VideoFrame {
public:
    // Built by the player once the buffer provider has computed the splats.
    VideoFrame(SplatMemoryBuffer buffer, FlameFrameData flameFrameData)
        : buffer_(std::move(buffer)), flameFrameData_(std::move(flameFrameData)) {}

    const SplatMemoryBuffer& buffer() const { return buffer_; }
    const FlameFrameData& flameFrameData() const { return flameFrameData_; }

private:
    SplatMemoryBuffer buffer_;
    FlameFrameData flameFrameData_;
};

} // namespace Mivo

} // namespace MivoKit
