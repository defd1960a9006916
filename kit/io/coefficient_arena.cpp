#include "kit/io/coefficient_arena.hpp"

#include <algorithm>

namespace MivoKit {

std::span<float> CoefficientArena::take(std::size_t points) {
    points = std::max<std::size_t>(points, 1);
    if (capacity_ - used_ < floatsPerPoint_) {
        // Sized for the points the header still announces, so that an honest count leaves no slack.
        const std::size_t announced = expectedPoints_ > pointsTaken_ ? expectedPoints_ - pointsTaken_ : points;
        const std::size_t blockPoints =
            std::clamp<std::size_t>(announced, 1, std::max<std::size_t>(1, kMaxBlockFloats / floatsPerPoint_));
        capacity_ = blockPoints * floatsPerPoint_;
        block_ = std::make_shared_for_overwrite<float[]>(capacity_);
        used_ = 0;
    }
    const std::size_t fitting = std::min(points, (capacity_ - used_) / floatsPerPoint_);
    std::span<float> room(block_.get() + used_, fitting * floatsPerPoint_);
    used_ += room.size();
    pointsTaken_ += fitting;
    return room;
}

} // namespace MivoKit
