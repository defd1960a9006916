#include "platform/dispatch/parallel_for.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform::dispatch {
namespace {

// How long a thread that ran out of chunks looks for the stage to end before it sleeps: the last
// chunks of a stage usually end within microseconds, and sleeping costs a wake-up.
constexpr auto kSpinTime = std::chrono::microseconds(50);

void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

struct Stage {
    ParallelStage loop;
    std::size_t chunk = 0, chunks = 0;
    // Apart, so threads claiming chunks and threads watching for the end do not share a line.
    alignas(64) std::atomic<std::size_t> next{0};
    alignas(64) std::atomic<std::size_t> done{0};
};

// Shared by the caller and its helpers; a helper may start after the run returned, finds nothing
// left to claim and never touches a body.
struct Job {
    std::vector<Stage> stages;
    std::atomic<std::size_t> helpersLeft{0};
    std::mutex mutex;
    std::condition_variable stageEnded;

    explicit Job(std::size_t count) : stages(count) {}

    bool finished(const Stage& s) const { return s.done.load(std::memory_order_acquire) == s.chunks; }

    // Runs the chunks of stage `s` that are left, then waits until all of them ended.
    void workOn(Stage& s) {
        for (std::size_t c; (c = s.next.fetch_add(1, std::memory_order_relaxed)) < s.chunks;) {
            const std::size_t begin = c * s.chunk;
            s.loop.function(s.loop.body, begin, std::min(s.loop.count, begin + s.chunk));
            if (s.done.fetch_add(1, std::memory_order_acq_rel) + 1 == s.chunks) {
                std::lock_guard lock(mutex);
                stageEnded.notify_all();
            }
        }
        const auto giveUp = std::chrono::steady_clock::now() + kSpinTime;
        for (int i = 1; !finished(s); ++i) {
            spinPause();
            if (i % 64 == 0 && std::chrono::steady_clock::now() > giveUp) break;
        }
        if (finished(s)) return;
        std::unique_lock lock(mutex);
        stageEnded.wait(lock, [&] { return finished(s); });
    }

    void work() {
        for (auto& s : stages) workOn(s);
    }

    // The caller posts one helper and starts working at once (posting costs it tens of
    // microseconds); every helper posts two more as it starts, while helpers are wanted.
    static void spawnHelper(const std::shared_ptr<Job>& job) {
        if (job->finished(job->stages.back())) return;
        std::size_t left = job->helpersLeft.load(std::memory_order_relaxed);
        do {
            if (left == 0) return;
        } while (!job->helpersLeft.compare_exchange_weak(left, left - 1, std::memory_order_relaxed));
        postBackground([job] {
            spawnHelper(job);
            spawnHelper(job);
            job->work();
        });
    }
};

} // namespace

void parallelStages(unsigned maxWorkers, std::initializer_list<ParallelStage> loops) {
    const unsigned pool = backgroundThreadCount();
    const unsigned workers = maxWorkers == 0 ? pool : std::min(maxWorkers, pool);
    std::size_t mostChunks = 0;
    auto job = std::make_shared<Job>(loops.size());
    std::size_t i = 0;
    for (const auto& loop : loops) {
        auto& s = job->stages[i++];
        s.loop = loop;
        if (loop.count == 0) continue;
        const std::size_t minChunk = std::max<std::size_t>(loop.minChunk, 1);
        if (loop.chunking == Chunking::exact) {
            s.chunk = minChunk;
        } else {
            // A few chunks per worker even out uneven progress.
            const std::size_t wanted =
                std::min<std::size_t>(std::size_t(workers) * 4, (loop.count + minChunk - 1) / minChunk);
            s.chunk = (loop.count + wanted - 1) / wanted;
        }
        s.chunks = (loop.count + s.chunk - 1) / s.chunk;
        mostChunks = std::max(mostChunks, s.chunks);
    }
    if (workers <= 1 || mostChunks <= 1) {
        for (const auto& loop : loops)
            if (loop.count > 0) loop.function(loop.body, 0, loop.count);
        return;
    }
    job->helpersLeft = std::min<std::size_t>(workers - 1, mostChunks - 1);
    Job::spawnHelper(job);
    job->work();
}

} // namespace platform::dispatch
