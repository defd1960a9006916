#include "kit/head/parallel_for.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace parallel_detail {
namespace {

struct Job {
    ChunkFunction function;
    void* body;
    std::size_t count, chunk, chunks;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;

    // Runs chunks until none is left.
    void work() {
        for (;;) {
            const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) return;
            const std::size_t begin = c * chunk;
            function(body, begin, std::min(count, begin + chunk));
            if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == chunks) {
                std::lock_guard lock(mutex);
                finished.notify_all();
            }
        }
    }
};

} // namespace

void run(std::size_t count, std::size_t minChunk, unsigned maxWorkers, ChunkFunction function, void* body) {
    if (count == 0) return;
    const unsigned pool = platform::dispatch::backgroundThreadCount();
    const unsigned workers = maxWorkers == 0 ? pool : std::min(maxWorkers, pool);
    minChunk = std::max<std::size_t>(minChunk, 1);
    if (workers <= 1 || count <= minChunk) {
        function(body, 0, count);
        return;
    }
    // A few chunks per worker even out uneven progress.
    const std::size_t chunks = std::min<std::size_t>(std::size_t(workers) * 4, (count + minChunk - 1) / minChunk);
    auto job = std::make_shared<Job>();
    job->function = function;
    job->body = body;
    job->count = count;
    job->chunk = (count + chunks - 1) / chunks;
    job->chunks = (count + job->chunk - 1) / job->chunk;
    const std::size_t helpers = std::min<std::size_t>(workers - 1, job->chunks - 1);
    // Helpers that start after the last chunk was taken find nothing to do and never touch `body`.
    for (std::size_t i = 0; i < helpers; ++i) platform::dispatch::postBackground([job] { job->work(); });
    job->work();
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done.load(std::memory_order_acquire) == job->chunks; });
}

} // namespace parallel_detail
