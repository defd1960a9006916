#include "platform/dispatch/parallel_for.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace MivoKit {

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
};

// The threads that help parallel runs. Waking a sleeping thread takes 0.1 ms or more (far more on
// a virtual machine), so a run wakes all the helpers it wants with one notification instead of
// passing the wake-up along a chain of posts, and helpers look for more work for a moment before
// they sleep again. With the caller, the team fills the cores the background pool is sized for;
// like the pool, it is never destroyed.
class HelperTeam {
public:
    static HelperTeam& shared() {
        static HelperTeam* team = new HelperTeam(backgroundThreadCount() - 1);
        return *team;
    }

    void offer(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(job);
        }
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
    }

    void withdraw(const Job* job) {
        std::lock_guard lock(mutex_);
        std::erase_if(jobs_, [&](const std::shared_ptr<Job>& j) { return j.get() == job; });
    }

private:
    explicit HelperTeam(unsigned size) {
        for (unsigned i = 0; i < size; ++i) std::thread([this] { run(); }).detach();
    }

    // A job that still wants a helper, counted as taken.
    std::shared_ptr<Job> claim() {
        std::lock_guard lock(mutex_);
        for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
            auto job = *it;
            if (job->helpersLeft.fetch_sub(1, std::memory_order_relaxed) == 1) jobs_.erase(it);
            return job;
        }
        return nullptr;
    }

    void run() {
        for (;;) {
            // Read before looking, so an offer made after the look ends the wait below.
            const std::uint32_t seen = generation_.load(std::memory_order_acquire);
            if (auto job = claim()) {
                job->work();
                continue;
            }
            const auto giveUp = std::chrono::steady_clock::now() + kSpinTime;
            for (int i = 1; generation_.load(std::memory_order_acquire) == seen; ++i) {
                spinPause();
                if (i % 64 == 0 && std::chrono::steady_clock::now() > giveUp) {
                    generation_.wait(seen, std::memory_order_acquire);
                    break;
                }
            }
        }
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Job>> jobs_; // each wants at least one more helper
    std::atomic<std::uint32_t> generation_{0};
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
    auto& team = HelperTeam::shared();
    team.offer(job);
    job->work();
    team.withdraw(job.get()); // helpers that have not come by now are not needed
}

} // namespace platform::dispatch

} // namespace MivoKit
