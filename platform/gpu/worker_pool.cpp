#include "platform/gpu/worker_pool.hpp"

#include <algorithm>
#include <atomic>

#include <sched.h>

namespace platform::gpu {

struct WorkerPool::Loop {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t count;
    std::size_t chunkSize;
    std::size_t chunkCount;
    std::atomic<std::size_t> nextChunk{0};
    std::atomic<std::size_t> chunksDone{0};
    std::mutex mutex;
    std::condition_variable finished;

    // Runs chunks until none is left to take; true when this call ran the last one.
    void work() {
        for (;;) {
            const std::size_t chunk = nextChunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= chunkCount) return;
            const std::size_t begin = chunk * chunkSize;
            (*body)(begin, std::min(count, begin + chunkSize));
            if (chunksDone.fetch_add(1, std::memory_order_acq_rel) + 1 == chunkCount) {
                std::lock_guard lock(mutex);
                finished.notify_all();
            }
        }
    }
    bool exhausted() const { return nextChunk.load(std::memory_order_relaxed) >= chunkCount; }
};

WorkerPool::WorkerPool(unsigned threadCount) : threadCount_(std::max(1u, threadCount)) {
    for (unsigned i = 1; i < threadCount_; ++i) workers_.emplace_back([this] { workerMain(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

namespace {

// The cores this process may run on (its affinity mask), so a pinned process does not oversubscribe.
unsigned usableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace

WorkerPool& WorkerPool::shared() {
    // Never destroyed: a GPU thread may still be finishing a frame while the process exits.
    static WorkerPool* const pool = new WorkerPool(usableCores());
    return *pool;
}

void WorkerPool::parallelFor(std::size_t count, std::size_t grain,
                             const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    const std::size_t chunkSize = std::max<std::size_t>(grain, 1);
    const std::size_t chunkCount = (count + chunkSize - 1) / chunkSize;
    if (threadCount_ == 1 || chunkCount == 1) {
        body(0, count);
        return;
    }
    auto loop = std::make_shared<Loop>();
    loop->body = &body;
    loop->count = count;
    loop->chunkSize = chunkSize;
    loop->chunkCount = chunkCount;
    {
        std::lock_guard lock(mutex_);
        loops_.push_back(loop);
    }
    wake_.notify_all();
    loop->work();
    std::unique_lock lock(loop->mutex);
    loop->finished.wait(lock, [&] { return loop->chunksDone.load(std::memory_order_acquire) == chunkCount; });
}

void WorkerPool::workerMain() {
    for (;;) {
        std::shared_ptr<Loop> loop;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] {
                while (!loops_.empty() && loops_.front()->exhausted()) loops_.pop_front();
                return stopping_ || !loops_.empty();
            });
            if (stopping_) return;
            loop = loops_.front();
        }
        loop->work();
    }
}

} // namespace platform::gpu
