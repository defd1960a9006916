#pragma once
// A fork-join pool for data-parallel loops. parallelFor splits a range into chunks that the
// calling thread and the pool's workers take in turn; it returns once every chunk has run.
// Several threads may run loops on one pool at the same time.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::gpu {

class WorkerPool {
public:
    // `threadCount` threads take part in a loop: the caller and threadCount - 1 workers.
    explicit WorkerPool(unsigned threadCount);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // One pool for the process, as many threads as cores.
    static WorkerPool& shared();

    unsigned threadCount() const { return threadCount_; }

    // Calls body(begin, end) over [0, count) in chunks of `grain` elements (the last may be shorter),
    // handed out one at a time, so uneven chunks balance across the threads.
    void parallelFor(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body);

private:
    struct Loop;
    void workerMain();

    unsigned threadCount_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Loop>> loops_;
    bool stopping_ = false;
};

} // namespace platform::gpu
