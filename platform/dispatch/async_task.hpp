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

} // namespace detail

// A coroutine that runs when awaited (or spawned) and gives a T.
template <class T = void>
class [[nodiscard]] Async {
public:
    struct promise_type : detail::PromiseBase {
        std::optional<T> value;
        Async get_return_object() { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        detail::ContinueAwaiting final_suspend() noexcept { return {}; }
        void return_value(T v) { value = std::move(v); }
        void unhandled_exception() { error = std::current_exception(); }
    };

    Async(Async&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Async& operator=(Async&&) = delete;
    ~Async() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
        handle_.promise().task = awaiting.promise().task;
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() {
        auto& promise = handle_.promise();
        if (promise.error) std::rethrow_exception(promise.error);
        return std::move(*promise.value);
    }

private:
    explicit Async(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

template <>
class [[nodiscard]] Async<void> {
public:
    struct promise_type : detail::PromiseBase {
        Async get_return_object() { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        detail::ContinueAwaiting final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { error = std::current_exception(); }
    };

    Async(Async&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Async& operator=(Async&&) = delete;
    ~Async() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
        handle_.promise().task = awaiting.promise().task;
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    void await_resume() {
        if (handle_.promise().error) std::rethrow_exception(handle_.promise().error);
    }

private:
    explicit Async(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
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
class Sleep {
public:
    explicit Sleep(Nanoseconds duration) : duration_(duration) {}
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> handle) {
        return suspend(handle, handle.promise().task);
    }
    bool await_resume();

private:
    bool suspend(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task);

    Nanoseconds duration_;
    std::shared_ptr<TaskState> task_;
    std::shared_ptr<detail::Resumption> resumption_;
    std::shared_ptr<Timer> timer_;
    bool cancelledAtOnce_ = false;
};
inline Sleep sleep(Nanoseconds duration) { return Sleep(duration); }

// A notice that tasks wait for on the main queue: notify() wakes every current waiter. Main queue
// only. A wait also ends after its timeout, or when its task is cancelled.
class AsyncEvent {
public:
    enum class Wake { notified, timedOut, cancelled };

    class Wait {
    public:
        Wait(AsyncEvent& event, Nanoseconds timeout) : event_(event), timeout_(timeout) {}
        bool await_ready() const noexcept { return false; }
        template <class Promise>
        bool await_suspend(std::coroutine_handle<Promise> handle) {
            return suspend(handle, handle.promise().task);
        }
        Wake await_resume();

    private:
        bool suspend(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task);

        AsyncEvent& event_;
        Nanoseconds timeout_;
        std::shared_ptr<TaskState> task_;
        std::shared_ptr<detail::Resumption> resumption_;
        std::shared_ptr<Timer> timer_;
        bool cancelledAtOnce_ = false;
    };

    Wait wait(Nanoseconds timeout) { return Wait(*this, timeout); }
    void notify();
    std::size_t waiterCount() const { return waiters_.size(); }

private:
    std::vector<std::weak_ptr<detail::Resumption>> waiters_;
};

// Suspends until the function handed to `start` is called (from any thread; later calls do
// nothing) or the task is cancelled; resumes on the main queue. True when the call came.
class CallbackAwait {
public:
    using Start = std::function<void(std::function<void()> done)>;
    explicit CallbackAwait(Start start) : start_(std::move(start)) {}
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> handle) {
        return suspend(handle, handle.promise().task);
    }
    bool await_resume();

private:
    bool suspend(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task);

    Start start_;
    std::shared_ptr<TaskState> task_;
    std::shared_ptr<detail::Resumption> resumption_;
    bool cancelledAtOnce_ = false;
};
inline CallbackAwait awaitCallback(CallbackAwait::Start start) { return CallbackAwait(std::move(start)); }

} // namespace platform::dispatch
