#pragma once
// Data-parallel loops. A loop splits [0, count) into chunks and runs body(begin, end) on them, on
// the calling thread and on up to maxWorkers - 1 helper threads (maxWorkers 0: one per core the
// background pool is sized for); it returns when every chunk has run. The helpers are a team of
// their own, so tasks queued on the background pool never hold a loop up, and the caller takes
// chunks itself, so a loop finishes even when every helper is busy elsewhere. Bodies must not throw.
//
// Chunking::balanced cuts a loop into about four chunks per thread, none smaller than minChunk
// (few claims, even progress for even work). Chunking::exact hands out chunks of exactly minChunk
// elements one at a time, for uneven work such as screen tiles.
//
// parallelStages runs loops that depend on one another one after the other with the same
// threads: waking a thread costs far more than a chunk of work, so a frame that needs several
// loops wakes its helpers once. Bodies are called through plain pointers: nothing is allocated
// per chunk.

#include <cstddef>
#include <initializer_list>
#include <memory>

namespace MivoKit {

namespace platform::dispatch {

enum class Chunking { balanced, exact };

using ChunkFunction = void (*)(void* body, std::size_t begin, std::size_t end);

// One loop of a staged run. Made by parallelStage().
struct ParallelStage {
    std::size_t count;
    std::size_t minChunk;
    ChunkFunction function;
    void* body;
    Chunking chunking = Chunking::balanced;
};

// The body must outlive the run.
template <class Body>
ParallelStage parallelStage(std::size_t count, std::size_t minChunk, Body& body,
                            Chunking chunking = Chunking::balanced) {
    return {count, minChunk,
            [](void* b, std::size_t begin, std::size_t end) { (*static_cast<Body*>(b))(begin, end); },
            const_cast<void*>(static_cast<const void*>(std::addressof(body))), chunking};
}

// Runs the stages in order; no chunk of a stage starts before every chunk of the one before ended.
void parallelStages(unsigned maxWorkers, std::initializer_list<ParallelStage> stages);

template <class Body>
void parallelFor(std::size_t count, std::size_t minChunk, unsigned maxWorkers, Body&& body,
                 Chunking chunking = Chunking::balanced) {
    parallelStages(maxWorkers, {parallelStage(count, minChunk, body, chunking)});
}

} // namespace platform::dispatch

} // namespace MivoKit
