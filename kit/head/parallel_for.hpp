#pragma once
// Splits [0, count) into chunks and runs body(begin, end) on them, on the calling thread and on up
// to maxWorkers - 1 threads of the background pool; returns when every chunk has run. The caller
// takes chunks itself, so it finishes even when the pool is busy. `body` must not throw.
// Nothing is allocated for the body: it is called through a plain pointer.

#include <cstddef>
#include <memory>

namespace parallel_detail {
using ChunkFunction = void (*)(void* body, std::size_t begin, std::size_t end);
void run(std::size_t count, std::size_t minChunk, unsigned maxWorkers, ChunkFunction function, void* body);
} // namespace parallel_detail

// maxWorkers 0 asks for as many workers as the background pool has threads.
template <class Body>
void parallelFor(std::size_t count, std::size_t minChunk, unsigned maxWorkers, Body&& body) {
    parallel_detail::run(
        count, minChunk, maxWorkers,
        [](void* b, std::size_t begin, std::size_t end) { (*static_cast<std::remove_reference_t<Body>*>(b))(begin, end); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}
