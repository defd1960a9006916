#pragma once
// A computed splat buffer with the frame it was computed from.
//
// The buffer is immutable and shared: copies of a frame share one buffer object, and that object
// is never changed, so a renderer that is handed the same object again may keep what it made from
// it (see SplatRendererProtocol::updateFromShared). Made on any thread; read-only afterwards.

#include "kit/model/flame_frame_data.hpp"
#include "kit/model/splat_memory_buffer.hpp"

#include <memory>

namespace MivoKit {

namespace Mivo {

class VideoFrame {
public:
    // Built by the player once the buffer provider has computed the splats.
    VideoFrame(SplatMemoryBuffer buffer, FlameFrameData flameFrameData)
        : buffer_(std::make_shared<const SplatMemoryBuffer>(std::move(buffer))),
          flameFrameData_(std::move(flameFrameData)) {}

    // An empty buffer for a frame that was moved from.
    const SplatMemoryBuffer& buffer() const { return buffer_ ? *buffer_ : empty(); }
    // The buffer object itself: its identity stands for its contents (null once moved from).
    const std::shared_ptr<const SplatMemoryBuffer>& sharedBuffer() const { return buffer_; }
    const FlameFrameData& flameFrameData() const { return flameFrameData_; }

private:
    static const SplatMemoryBuffer& empty() {
        static const SplatMemoryBuffer* none = new SplatMemoryBuffer(); // never destroyed
        return *none;
    }

    std::shared_ptr<const SplatMemoryBuffer> buffer_;
    FlameFrameData flameFrameData_;
};

} // namespace Mivo

} // namespace MivoKit
