#include "platform/progress/progress.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace MivoKit {

namespace platform::progress {

struct Progress::State {
    explicit State(std::int64_t total) : total(total) {}

    struct Child {
        std::shared_ptr<const State> state;
        std::int64_t units; // of the parent's total
    };

    const std::int64_t total;
    // Written by the working thread while any thread reads: atomics, so that neither waits for
    // the other.
    std::atomic<std::int64_t> completed{0};
    std::atomic<bool> completedWasSet{false};
    // Children join on the thread where this progress is current while readers on any thread walk
    // them: a small private lock. A reader takes a parent's lock and then its children's, never
    // the other way round, and a progress only joins when it is made, so the tree has no cycle and
    // the locks no opposite order.
    mutable std::mutex childrenMutex;
    std::vector<Child> children;

    double fraction() const {
        if (total < 0) return 0;
        const std::int64_t done = completed.load(std::memory_order_acquire);
        if (total == 0) return completedWasSet.load(std::memory_order_acquire) && done >= 0 ? 1 : 0;
        double units = double(done);
        {
            std::lock_guard lock(childrenMutex);
            for (const Child& child : children) units += child.state->fraction() * double(child.units);
        }
        return std::clamp(units / double(total), 0.0, 1.0);
    }
};

namespace {

struct CurrentProgress {
    std::shared_ptr<Progress::State> progress;
    std::int64_t pendingUnitCount;
    bool pendingSpent = false;
};

// The calling thread's current progresses, innermost last.
std::vector<CurrentProgress>& progressesCurrentOnThisThread() {
    thread_local std::vector<CurrentProgress> current;
    return current;
}

} // namespace

Progress::Progress(std::int64_t totalUnitCount) : state_(std::make_shared<State>(totalUnitCount)) {
    auto& current = progressesCurrentOnThisThread();
    if (current.empty() || current.back().pendingSpent) return;
    CurrentProgress& parent = current.back();
    parent.pendingSpent = true;
    std::lock_guard lock(parent.progress->childrenMutex);
    parent.progress->children.push_back({state_, parent.pendingUnitCount});
}

Progress::~Progress() = default;

std::int64_t Progress::totalUnitCount() const { return state_->total; }

std::int64_t Progress::completedUnitCount() const { return state_->completed.load(std::memory_order_acquire); }

void Progress::setCompletedUnitCount(std::int64_t completed) {
    state_->completed.store(completed, std::memory_order_release);
    state_->completedWasSet.store(true, std::memory_order_release);
}

double Progress::fractionCompleted() const { return state_->fraction(); }

void Progress::becomeCurrent(std::int64_t pendingUnitCount) {
    progressesCurrentOnThisThread().push_back({state_, pendingUnitCount});
}

void Progress::resignCurrent() {
    auto& current = progressesCurrentOnThisThread();
    if (current.empty() || current.back().progress != state_)
        throw std::logic_error("resignCurrent: this progress is not the current one of this thread");
    current.pop_back();
}

} // namespace platform::progress

} // namespace MivoKit
