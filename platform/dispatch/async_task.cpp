#include "platform/dispatch/async_task.hpp"

#include "platform/dispatch/work_census.hpp"

#include <cstdio>

namespace MivoKit {

namespace platform::dispatch {

void TaskState::cancel() {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
        wake = std::move(wake_);
        wake_ = nullptr;
    }
    if (wake) wake();
}

void TaskState::setWake(std::function<void()> wake) {
    {
        std::lock_guard lock(mutex_);
        if (!isCancelled()) {
            wake_ = std::move(wake);
            return;
        }
    }
    wake();
}

void TaskState::clearWake() {
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

namespace {
// Spawned tasks whose body has not ended.
std::atomic<std::size_t> spawnedTasksRunning{0};
} // namespace

std::size_t asyncTasksRunning() { return spawnedTasksRunning.load(std::memory_order_acquire); }

namespace detail {

bool Resumption::resume(int reason) {
    if (resumed_.exchange(true, std::memory_order_acq_rel)) return false;
    reason_ = reason; // read after the resumption, which the queue orders after this write
    postMain([handle = handle_] { handle.resume(); });
    return true;
}

namespace {

// The outermost coroutine of a spawned task: runs the body, then marks the task finished and frees
// itself.
struct Detached {
    struct promise_type {
        std::shared_ptr<TaskState> task;
        std::coroutine_handle<> continuation; // none: nothing awaits a task

        promise_type(Async<void>&, std::shared_ptr<TaskState>& state) : task(state) {}
        Detached get_return_object() { return {std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {
            try {
                throw;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "uncaught exception in an async task: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "uncaught exception in an async task\n");
            }
            std::terminate();
        }
    };
    std::coroutine_handle<promise_type> handle;
};

Detached runDetached(Async<void> body, std::shared_ptr<TaskState> state) {
    co_await body;
    state->markFinished();
    spawnedTasksRunning.fetch_sub(1, std::memory_order_release);
}

} // namespace
} // namespace detail

TaskHandle spawn(Async<void> body) {
    auto state = std::make_shared<TaskState>();
    spawnedTasksRunning.fetch_add(1, std::memory_order_relaxed);
    auto root = detail::runDetached(std::move(body), state).handle;
    postMain([root] { root.resume(); });
    return TaskHandle(std::move(state));
}

// ---- cancellable awaits ----

namespace detail {

bool CancellableAwait::begin(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task) {
    task_ = std::move(task);
    if (task_ && task_->isCancelled()) {
        cancelledAtOnce_ = true;
        return false;
    }
    resumption_ = std::make_shared<Resumption>(handle);
    return true;
}

std::shared_ptr<Timer> CancellableAwait::resumeOnCancellation(std::optional<Nanoseconds> timeout) {
    std::shared_ptr<Timer> timer;
    if (timeout)
        timer = Timer::scheduleOnMain(std::chrono::duration_cast<Seconds>(std::max(Nanoseconds(0), *timeout)),
                                      [r = resumption_] { r->resume(ranOut); });
    if (task_)
        task_->setWake([r = resumption_, timer] {
            if (timer) timer->cancel();
            r->resume(cancelled);
        });
    return timer;
}

int CancellableAwait::end() {
    if (cancelledAtOnce_) return cancelled;
    if (task_) task_->clearWake();
    return resumption_->reason();
}

} // namespace detail

AsyncEvent::Wake AsyncEvent::Wait::await_resume() {
    const int reason = end();
    if (reason == detail::cancelled && !timer_) return Wake::cancelled; // never suspended
    timer_->cancel(); // woken another way: the timeout is not needed any more
    std::erase_if(event_.waiters_, [this](const auto& weak) {
        auto waiter = weak.lock();
        return !waiter || waiter == resumption_;
    });
    switch (reason) {
    case detail::notified: return Wake::notified;
    case detail::cancelled: return Wake::cancelled;
    default: return Wake::timedOut;
    }
}

void AsyncEvent::notify() {
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& weak : waiters)
        if (auto waiter = weak.lock()) waiter->resume(detail::notified);
}

} // namespace platform::dispatch

} // namespace MivoKit
