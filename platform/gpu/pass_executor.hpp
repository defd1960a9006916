#pragma once
// Executes the records of committed command buffers on the CPU. Internal to the software device.
//
// A render pass runs like a tile-based GPU: every draw's primitives are set up in parallel and
// binned to 16x16 tiles in primitive order; then the tiles are shaded in parallel, each tile
// applying its primitives in draw and primitive order to float tile memory that is loaded (or
// cleared) at the start and stored at the end. Because one tile is always shaded by one thread in
// a fixed order, images do not depend on the number of threads.

#include "platform/gpu/command_record.hpp"
#include "platform/gpu/worker_pool.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::gpu {

class PassExecutor {
public:
    PassExecutor(WorkerPool& pool, bool useFusedDraws);
    ~PassExecutor();

    void execute(const EncoderRecord& record);

private:
    struct Batch;
    void runRenderPass(const EncoderRecord& record);
    void runCompute(const EncoderRecord& record);

    WorkerPool& pool_;
    bool useFusedDraws_;
    // Scratch kept between passes so that steady drawing allocates nothing.
    std::vector<std::unique_ptr<Batch>> batches_;
};

} // namespace platform::gpu
