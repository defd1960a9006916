#include "kit/head/prepared_splat_lists.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <condition_variable>
#include <mutex>

namespace MivoKit {

// Shared with the background task, which may outlive the binder. Whoever claims the list first
// builds it: when the pool has not got to the task yet, take() builds it itself rather than wait
// behind other work (or behind itself, when the caller runs on the pool).
struct PreparedSplatLists::Next {
    std::mutex mutex;
    std::condition_variable built;
    bool claimed = false;
    bool ready = false;
    SplatPointList points;

    bool claim() {
        std::lock_guard lock(mutex);
        if (claimed) return false;
        claimed = true;
        return true;
    }
};

PreparedSplatLists::~PreparedSplatLists() { dropNext(); }

void PreparedSplatLists::dropNext() {
    auto next = std::move(next_);
    if (!next || next->claim()) return;
    std::unique_lock lock(next->mutex);
    next->built.wait(lock, [&] { return next->ready; });
}

void PreparedSplatLists::setPrototype(SplatPointList prototype) {
    dropNext();
    prototype_ = std::make_shared<const SplatPointList>(std::move(prototype));
}

SplatPointList PreparedSplatLists::take() {
    auto next = std::move(next_);
    if (!next || next->claim()) return *prototype_;
    std::unique_lock lock(next->mutex);
    next->built.wait(lock, [&] { return next->ready; });
    return std::move(next->points);
}

void PreparedSplatLists::prepareNext() {
    auto next = std::make_shared<Next>();
    next_ = next;
    platform::dispatch::postBackground([next, prototype = prototype_] {
        if (!next->claim()) return;
        SplatPointList points(*prototype);
        std::lock_guard lock(next->mutex);
        next->points = std::move(points);
        next->ready = true;
        next->built.notify_all();
    });
}

} // namespace MivoKit
