#pragma once
// Gathers the frames of the demo's contact sheet as the view presents them. The view presents
// blank frames (its clear colour only) until the first splats arrive; the sheet starts at the
// first frame that shows anything and then keeps every `every`-th frame, shrunk, up to `capacity`.
//
// add() is called on the GPU thread as frames are presented, sheet() on main once the draws have
// stopped; a private lock keeps the two apart.

#include "tools/demo/image_files.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

using namespace MivoKit;

namespace demo {

class ContactSheetFrames {
public:
    ContactSheetFrames(std::uint32_t every, std::size_t capacity, std::uint32_t shrink);

    // True for the first frame that shows anything.
    bool add(const RGBAImage& frame);
    // The frames kept, `columns` to a row (see contactSheet()).
    RGBAImage sheet(std::uint32_t columns) const;

private:
    const std::uint32_t every_, shrink_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::uint64_t shown_ = 0; // frames presented since the first one that shows anything
    std::vector<RGBAImage> kept_;
};

// True when every pixel of `image` has the same colour (nothing but a clear colour).
bool isBlank(const RGBAImage& image);

} // namespace demo
