#pragma once
// Storage for the higher-order colour coefficients of the points of one read: a few large blocks,
// each shared by many points through the shared_ptr aliasing constructor. A point allocates
// nothing of its own, and a block is freed with the last point (or copy of one) that refers to it.
// One arena per read, used on the reading thread only.

#include <cstddef>
#include <memory>
#include <span>

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

    // Shares the block of the last take() for `coefficients`, a pointer into its room.
    std::shared_ptr<const float> share(const float* coefficients) const { return {block_, coefficients}; }

private:
    std::size_t floatsPerPoint_;
    std::size_t expectedPoints_;
    std::size_t pointsTaken_ = 0;
    std::shared_ptr<float[]> block_;
    std::size_t used_ = 0, capacity_ = 0; // floats of block_
};
