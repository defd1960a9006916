#pragma once
// The interface through which a scene reader hands points to whoever collects them.
//
// read() runs synchronously on the caller's thread and raises nothing: every failure arrives as
// didFailReading. Every read ends with exactly one didFinishReading or didFailReading, after which
// the delegate hears nothing more from that read.

#include "kit/model/splat_scene_point.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>

namespace MivoKit {

class SplatSceneReaderDelegate {
public:
    virtual ~SplatSceneReaderDelegate() = default;

    // The number of points the file declares, for formats that declare one.
    virtual void didStartReading(std::optional<std::uint32_t> pointCount) = 0;
    // A hint before any point from readers that know their source's size (not a declared count):
    // about how many points may follow, for reserving room. It may be wrong; ignored by default.
    virtual void expectPointCount(std::size_t) {}
    // The next batch of points in file order. The span is only valid during the call.
    virtual void didRead(std::span<const SplatScenePoint> points) = 0;
    virtual void didFinishReading() = 0;
    // Reading has stopped; the error (a typed exception), when there is one.
    virtual void didFailReading(std::exception_ptr error) = 0;
};

class SplatSceneReader {
public:
    virtual ~SplatSceneReader() = default;
    virtual void read(SplatSceneReaderDelegate& delegate) = 0;
};

} // namespace MivoKit
