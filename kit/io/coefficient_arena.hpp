#pragma once
// Storage for the higher-order colour coefficients of the points of one read: a few large blocks,
// each shared by many points through the shared_ptr aliasing constructor. A point allocates
// nothing of its own, and a block is freed with the last point (or copy of one) that refers to it.
// One arena per read, used on the reading thread only.

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

namespace MivoKit {

class CoefficientArena {
public:
    // `floatsPerPoint` coefficients per point. `expectedPoints`, the count a header declares, only
    // sizes blocks: a block never exceeds kMaxBlockFloats, so a false count costs at most one block.
    CoefficientArena(std::size_t floatsPerPoint, std::size_t expectedPoints)
        : floatsPerPoint_(floatsPerPoint), expectedPoints_(expectedPoints) {}

    static constexpr std::size_t kMaxBlockFloats = std::size_t(1) << 20; // 4 MiB

    // Room for the coefficients of up to `points` points (at least one), contiguous in the current
    // block, which is replaced when full. The room is taken: the next call gives the space after it.
    std::span<float> take(std::size_t points);

    // Points `slot` at `coefficients`, inside the room of the last take(), sharing that room's
    // block. A slot that already shares the block (a reused point of the previous batch) is only
    // re-pointed: no reference count changes, which would cost an atomic operation per point.
    void share(std::shared_ptr<const float>& slot, const float* coefficients) const {
        if (slot && !slot.owner_before(block_) && !block_.owner_before(slot))
            slot = std::shared_ptr<const float>(std::move(slot), coefficients);
        else
            slot = std::shared_ptr<const float>(block_, coefficients);
    }

private:
    std::size_t floatsPerPoint_;
    std::size_t expectedPoints_;
    std::size_t pointsTaken_ = 0;
    std::shared_ptr<float[]> block_;
    std::size_t used_ = 0, capacity_ = 0; // floats of block_
};

} // namespace MivoKit
