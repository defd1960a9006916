#pragma once
// Executes the records of committed command buffers on the CPU. Internal to the software device.
//
// A render pass runs like a tile-based GPU: every draw's primitives are set up in parallel and
// binned to 16x16 tiles in primitive order; then the tiles are shaded in parallel, each tile
// applying its primitives in draw and primitive order to float tile memory that is loaded (or
// cleared) at the start and stored at the end. Because one tile is always shaded by one thread in
// a fixed order, images do not depend on the number of threads.

#include "platform/gpu/command_record.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

class PassExecutor {
public:
    // `threadCount` threads rasterise (0: every core).
    PassExecutor(unsigned threadCount, bool useFusedDraws);
    ~PassExecutor();

    void execute(const EncoderRecord& record);

private:
    struct Batch;
    struct Target;
    struct TileMemory;
    void runRenderPass(const EncoderRecord& record);
    // Turns every draw of the record into batches, one per amplified view, set up and binned.
    void collectBatches(const EncoderRecord& record, const Target& target);
    void bin(Batch& batch, const Target& target, const Viewport& viewport);
    // Loads tile `index`, applies every batch of its slice, stores it.
    void shadeTile(const Target& target, std::size_t index, TileMemory& memory);
    void runCompute(const EncoderRecord& record);

    unsigned threadCount_;
    bool useFusedDraws_;
    // Scratch kept between passes so that steady drawing allocates nothing.
    std::vector<std::unique_ptr<Batch>> batches_;
    std::size_t batchCount_ = 0; // batches of the current pass
    std::vector<std::uint32_t> tileCost_;  // entries per tile of the current pass
    std::vector<std::uint32_t> tileOrder_; // the order tiles are handed out in
};

} // namespace platform::gpu

} // namespace MivoKit
