#include "tools/demo/contact_sheet_frames.hpp"

#include <algorithm>
#include <cstring>

using namespace MivoKit;

namespace demo {

ContactSheetFrames::ContactSheetFrames(std::uint32_t every, std::size_t capacity, std::uint32_t shrink)
    : every_(std::max(every, 1u)), shrink_(std::max(shrink, 1u)), capacity_(capacity) {}

bool ContactSheetFrames::add(const RGBAImage& frame) {
    std::lock_guard lock(mutex_);
    // Once a frame showed something, later ones count even if blank: a gap in the head is news.
    if (shown_ == 0 && isBlank(frame)) return false;
    if (shown_ % every_ == 0 && kept_.size() < capacity_) kept_.push_back(shrunk(frame, shrink_));
    return shown_++ == 0;
}

RGBAImage ContactSheetFrames::sheet(std::uint32_t columns) const {
    std::lock_guard lock(mutex_);
    return contactSheet(kept_, columns, 1);
}

bool isBlank(const RGBAImage& image) {
    const std::size_t bytes = image.rgba.size() - image.rgba.size() % 4;
    for (std::size_t i = 4; i < bytes; i += 4)
        if (std::memcmp(&image.rgba[i], image.rgba.data(), 4) != 0) return false;
    return true;
}

} // namespace demo
