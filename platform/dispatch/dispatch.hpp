#pragma once
// Stand-in for the platform's main actor, dispatch queues, background tasks and timers.
//
// The main queue is one event loop: the application runs it with runMain() on its main thread,
// tests pump it by hand with pumpMain()/pumpMainUntil(). Everything the application sees and all
// state shared between tasks is touched only from main-queue handlers.
// Background work runs on a process-wide thread pool; serial queues run their tasks one at a time,
// in posting order, on that pool.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace MivoKit {

namespace platform::dispatch {

using Task = std::function<void()>;
using Seconds = std::chrono::duration<double>;

// ---- main queue ----

// Queues `task` to run on the main queue, after everything queued before it.
void postMain(Task task);
// True on the thread that runs (or last ran) the main queue.
bool isMainThread();
// Runs the main queue on the calling thread until stopMain().
void runMain();
void stopMain();
// Runs every main-queue handler that is ready now, and those that they queue; returns how many ran.
std::size_t pumpMain();
// Pumps the main queue until `done()` is true (checked between handlers) or `timeout` passes.
bool pumpMainUntil(const std::function<bool()>& done, Seconds timeout = Seconds(10));

// ---- background work ----

// Runs `task` on the background pool.
void postBackground(Task task);
// The number of threads of the background pool: the cores the process may run on, at least 2.
unsigned backgroundThreadCount();

// A queue that runs its tasks one at a time in posting order, on the background pool.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task);
    const std::string& label() const;
    // Blocks until every task posted before this call has run (not to be called from the queue).
    void waitUntilIdle();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// A one-shot timer whose task runs on the main queue after a delay unless cancelled first.
class Timer {
public:
    static std::shared_ptr<Timer> scheduleOnMain(Seconds delay, Task task);
    ~Timer();

    // After cancel() the task never runs (when called on the main queue, or before it fired).
    void cancel();
    bool isPending() const;

    struct Impl;

private:
    explicit Timer(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace platform::dispatch

} // namespace MivoKit
