#pragma once
// Asynchronous tasks written as C++ coroutines, hopping between the main queue and the background
// pool, with cancellation.
//
// A task is spawned with spawn(): its body, an Async<void>, starts on the main queue after the
// current handler. Inside it, `co_await onMain()` and `co_await onBackground()` move the rest of the
// body to that queue, `co_await someAsync()` runs another coroutine to its end, and the awaits below
// suspend until something happens. Every suspension that waits for time or for an event resumes on
// the main queue.
//
// Cancelling a task only sets its flag and wakes its current wait: sleep() returns false, an
// AsyncEvent wait returns `cancelled`, a callback await returns false. The body reads the flag with
// `co_await isCancelled()` and decides what to do, so a cancelled task ends only where its body says.
//
// A body that throws stops the process with the exception's text: tasks report failures through
// their own state, never by throwing out of the task.

#include "platform/dispatch/clock.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace MivoKit {

namespace platform::dispatch {

// The shared state of one spawned task: its cancellation flag and how to wake its current wait.
class TaskState {
public:
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
    bool isFinished() const { return finished_.load(std::memory_order_acquire); }
    // Any thread. Sets the flag and wakes the current wait, if any.
    void cancel();

    // Used by awaits: `wake` runs (once) when the task is cancelled while it waits; at once when it
    // already is.
    void setWake(std::function<void()> wake);
    void clearWake();
    void markFinished() { finished_.store(true, std::memory_order_release); }

private:
    std::mutex mutex_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
    std::function<void()> wake_;
};

// The handle of a spawned task. Dropping it neither cancels nor stops the task.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}

    void cancel() const {
        if (state_) state_->cancel();
    }
    bool isCancelled() const { return state_ && state_->isCancelled(); }
    bool isFinished() const { return state_ && state_->isFinished(); }
    explicit operator bool() const { return bool(state_); }

private:
    std::shared_ptr<TaskState> state_;
};

namespace detail {

struct PromiseBase {
    std::shared_ptr<TaskState> task;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
};

// At the end of an awaited coroutine, go straight on with the one that awaited it.
struct ContinueAwaiting {
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> finished) noexcept {
        auto next = finished.promise().continuation;
        return next ? next : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
};

// Resumes a suspended coroutine on the main queue, once, whoever asks first.
class Resumption {
public:
    explicit Resumption(std::coroutine_handle<> handle) : handle_(handle) {}
    // True for the call that resumed; `reason` is what await_resume() then reads.
    bool resume(int reason);
    int reason() const { return reason_; }

private:
    std::coroutine_handle<> handle_;
    std::atomic<bool> resumed_{false};
    int reason_ = 0;
};

enum Reason { ranOut = 1, notified = 2, cancelled = 3 };

// What every await that a cancellation ends has: its task, its resumption, and whether the task
// was cancelled before it could suspend.
class CancellableAwait {
public:
    bool await_ready() const noexcept { return false; }

protected:
    // False (do not suspend) when the task is already cancelled.
    bool begin(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task);
    // Resumes on cancellation, and also after `timeout` when one is given (the timer is returned).
    std::shared_ptr<Timer> resumeOnCancellation(std::optional<Nanoseconds> timeout = std::nullopt);
    // Why the suspension ended (cancelled when it never began); forgets the cancellation wake.
    int end();

    std::shared_ptr<Resumption> resumption_;

private:
    std::shared_ptr<TaskState> task_;
    bool cancelledAtOnce_ = false;
};

// What every Async shares: it owns its coroutine frame, and awaiting it starts it within the
// awaiting task and resumes the awaiting coroutine when it ends.
template <class Derived>
class AsyncBase {
public:
    AsyncBase(AsyncBase&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    AsyncBase& operator=(AsyncBase&&) = delete;
    ~AsyncBase() {
        if (frame_) frame_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    template <class AwaitingPromise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<AwaitingPromise> awaiting) noexcept {
        promise().task = awaiting.promise().task;
        promise().continuation = awaiting;
        return frame_;
    }

protected:
    explicit AsyncBase(std::coroutine_handle<> frame) : frame_(frame) {}
    auto& promise() { return std::coroutine_handle<typename Derived::promise_type>::from_address(frame_.address()).promise(); }
    void rethrowFailure() {
        if (promise().error) std::rethrow_exception(promise().error);
    }

private:
    std::coroutine_handle<> frame_;
};

template <class Async>
struct AsyncPromise : PromiseBase {
    Async get_return_object() {
        return Async(std::coroutine_handle<typename Async::promise_type>::from_promise(
            static_cast<typename Async::promise_type&>(*this)));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    ContinueAwaiting final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
};

} // namespace detail

// A coroutine that runs when awaited (or spawned) and gives a T.
template <class T = void>
class [[nodiscard]] Async : public detail::AsyncBase<Async<T>> {
public:
    struct promise_type : detail::AsyncPromise<Async> {
        std::optional<T> value;
        void return_value(T v) { value = std::move(v); }
    };

    T await_resume() {
        this->rethrowFailure();
        return std::move(*this->promise().value);
    }

private:
    friend struct detail::AsyncPromise<Async>;
    explicit Async(std::coroutine_handle<promise_type> frame) : detail::AsyncBase<Async>(frame) {}
};

template <>
class [[nodiscard]] Async<void> : public detail::AsyncBase<Async<void>> {
public:
    struct promise_type : detail::AsyncPromise<Async> {
        void return_void() {}
    };

    void await_resume() { rethrowFailure(); }

private:
    friend struct detail::AsyncPromise<Async>;
    explicit Async(std::coroutine_handle<promise_type> frame) : detail::AsyncBase<Async>(frame) {}
};

// Starts `body` as a task of its own on the main queue, after the current handler.
TaskHandle spawn(Async<void> body);

// ---- awaits ----

// Continues on the main queue (always through the queue, behind what is already queued).
struct MainQueueHop {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const {
        postMain([handle] { handle.resume(); });
    }
    void await_resume() const noexcept {}
};
inline MainQueueHop onMain() { return {}; }

// Continues on the background pool.
struct BackgroundHop {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const {
        postBackground([handle] { handle.resume(); });
    }
    void await_resume() const noexcept {}
};
inline BackgroundHop onBackground() { return {}; }

// Whether the current task has been cancelled; does not suspend.
struct CancellationCheck {
    bool cancelled = false;
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> handle) noexcept {
        cancelled = handle.promise().task && handle.promise().task->isCancelled();
        return false;
    }
    bool await_resume() const noexcept { return cancelled; }
};
inline CancellationCheck isCancelled() { return {}; }

// Sleeps on the monotonic clock (virtual time when installed); resumes on the main queue. True when
// the time ran out, false when the task was cancelled (at once when it already was).
class Sleep : public detail::CancellableAwait {
public:
    explicit Sleep(Nanoseconds duration) : duration_(duration) {}
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> handle) {
        if (!begin(handle, handle.promise().task)) return false;
        resumeOnCancellation(duration_);
        return true;
    }
    bool await_resume() { return end() == detail::ranOut; }

private:
    Nanoseconds duration_;
};
inline Sleep sleep(Nanoseconds duration) { return Sleep(duration); }

// A notice that tasks wait for on the main queue: notify() wakes every current waiter. Main queue
// only. A wait also ends after its timeout, or when its task is cancelled.
class AsyncEvent {
public:
    enum class Wake { notified, timedOut, cancelled };

    class Wait : public detail::CancellableAwait {
    public:
        Wait(AsyncEvent& event, Nanoseconds timeout) : event_(event), timeout_(timeout) {}
        template <class Promise>
        bool await_suspend(std::coroutine_handle<Promise> handle) {
            if (!begin(handle, handle.promise().task)) return false;
            event_.waiters_.push_back(resumption_);
            timer_ = resumeOnCancellation(timeout_);
            return true;
        }
        Wake await_resume();

    private:
        AsyncEvent& event_;
        Nanoseconds timeout_;
        std::shared_ptr<Timer> timer_;
    };

    Wait wait(Nanoseconds timeout) { return Wait(*this, timeout); }
    void notify();
    std::size_t waiterCount() const { return waiters_.size(); }

private:
    std::vector<std::weak_ptr<detail::Resumption>> waiters_;
};

// Suspends until the function handed to `start` is called (from any thread; later calls do
// nothing) or the task is cancelled; resumes on the main queue. True when the call came.
class CallbackAwait : public detail::CancellableAwait {
public:
    using Start = std::function<void(std::function<void()> done)>;
    explicit CallbackAwait(Start start) : start_(std::move(start)) {}
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> handle) {
        if (!begin(handle, handle.promise().task)) return false;
        resumeOnCancellation();
        start_([r = resumption_] { r->resume(detail::notified); });
        return true;
    }
    bool await_resume() { return end() == detail::notified; }

private:
    Start start_;
};
inline CallbackAwait awaitCallback(CallbackAwait::Start start) { return CallbackAwait(std::move(start)); }

} // namespace platform::dispatch

} // namespace MivoKit
