#pragma once
// An in-memory splat cloud: the ordered list of points, filled from any scene reader.

#include "kit/model/splat_scene_point.hpp"
#include "kit/model/splat_scene_reader.hpp"
#include "kit/model/typed_error.hpp"
#include "platform/memory/recycled_blocks.hpp"

#include <vector>

namespace MivoKit {

// Large lists recycle their storage: a frame's list reuses the one freed by an earlier frame.
using SplatPointList = std::vector<SplatScenePoint, platform::memory::RecyclingAllocator<SplatScenePoint>>;

struct SplatMemoryBuffer {
    SplatPointList points;

    SplatMemoryBuffer() = default;

    // Reads every point of `reader` and replaces `points` with them, in file order. Throws the
    // error the reader reported (BufferReader::Error::unknown for a failure without one, and for a
    // reader that returns without finishing); `points` is then unchanged.
    void read(SplatSceneReader& reader);

    struct BufferReader {
        enum class ErrorCode { unknown };
        using Error = TypedError<ErrorCode>;
    };
};

} // namespace MivoKit
