#include "platform/dispatch/dispatch.hpp"

#include "platform/dispatch/clock.hpp"
#include "platform/dispatch/work_census.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace MivoKit {

namespace asio = boost::asio;

namespace platform::dispatch {
namespace {

struct MainQueue {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
};

// Until a thread runs or pumps the main queue, the main thread is the one that started the program
// (static initialisation runs there).
std::atomic<std::thread::id> mainThread{std::this_thread::get_id()};

// Deliberately never destroyed: handlers and pool threads may still run while the process exits.
MainQueue& mainQueue() {
    static MainQueue* queue = new MainQueue();
    return *queue;
}

// ---- the background pool and the exit ----
//
// The pool is never destroyed, and at exit it stops starting tasks and waits for the ones running
// (an exit handler registered when the pool is made). So no task runs on into the destruction of
// state made before the pool's first task: the libraries' tables, the kit's. State made later and
// read by tasks is never destroyed (the kit keeps such statics on the heap for good). A task that
// does not end within the limit is left running: exiting matters more than one late task.

constexpr auto kExitWaitLimit = std::chrono::seconds(10);

std::atomic<bool> closing{false};
std::atomic<std::size_t> poolTasksRunning{0};
thread_local bool onPoolTask = false;

// Tasks that were due when the process began to exit: kept, not run and not destroyed, because a
// task may own a suspended coroutine that nothing else refers to.
struct ParkedTasks {
    std::mutex mutex;
    std::vector<Task> tasks;
};
ParkedTasks& parkedTasks() {
    static auto* parked = new ParkedTasks();
    return *parked;
}

void finishRunningTasksAtExit() {
    closing.store(true, std::memory_order_seq_cst);
    const std::size_t own = onPoolTask ? 1 : 0; // exit called from a task
    const auto limit = std::chrono::steady_clock::now() + kExitWaitLimit;
    while (poolTasksRunning.load(std::memory_order_seq_cst) > own && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

asio::thread_pool& pool() {
    static asio::thread_pool* p = [] {
        auto* made = new asio::thread_pool(backgroundThreadCount());
        std::atexit(finishRunningTasksAtExit);
        return made;
    }();
    return *p;
}

// Background tasks posted and not yet finished, so virtual time can wait for them to settle.
std::atomic<std::size_t> inFlight{0};
// Main-queue handlers posted and not yet run (or dropped), and timers neither fired nor cancelled.
std::atomic<std::size_t> mainPending{0};
std::atomic<std::size_t> timersPending{0};

// Counts one main-queue handler from its posting until the handler object is gone, after it ran.
class PendingMainHandler {
public:
    PendingMainHandler() { mainPending.fetch_add(1, std::memory_order_relaxed); }
    PendingMainHandler(PendingMainHandler&& other) noexcept : counted_(std::exchange(other.counted_, false)) {}
    PendingMainHandler& operator=(PendingMainHandler&&) = delete;
    ~PendingMainHandler() {
        if (counted_) mainPending.fetch_sub(1, std::memory_order_release);
    }

private:
    bool counted_ = true;
};

// Counts `task` as in flight until it has run; whatever it posts is posted before it stops counting.
Task counted(Task task) {
    inFlight.fetch_add(1, std::memory_order_relaxed);
    return [task = std::move(task)] {
        // Counted as running before the exit's flag is read: the exit either sees the task
        // running and waits for it, or the task sees the flag and does not start.
        poolTasksRunning.fetch_add(1, std::memory_order_seq_cst);
        struct Done {
            ~Done() {
                poolTasksRunning.fetch_sub(1, std::memory_order_seq_cst);
                inFlight.fetch_sub(1, std::memory_order_release);
            }
        } done;
        if (closing.load(std::memory_order_seq_cst)) {
            auto& parked = parkedTasks();
            std::lock_guard lock(parked.mutex);
            parked.tasks.push_back(task);
            return;
        }
        onPoolTask = true;
        task();
        onPoolTask = false;
    };
}

void becomeMainThread() {
    auto& q = mainQueue();
    mainThread = std::this_thread::get_id();
    if (q.context.stopped()) q.context.restart();
}

} // namespace

void postMain(Task task) {
    asio::post(mainQueue().context, [task = std::move(task), pending = PendingMainHandler()] { task(); });
}

std::size_t mainHandlersPending() { return mainPending.load(std::memory_order_acquire); }
std::size_t mainTimersPending() { return timersPending.load(std::memory_order_acquire); }

bool isMainThread() { return mainThread.load() == std::this_thread::get_id(); }

void runMain() {
    becomeMainThread();
    mainQueue().context.run();
}

void stopMain() { mainQueue().context.stop(); }

std::size_t pumpMain() {
    becomeMainThread();
    return mainQueue().context.poll();
}

bool pumpMainUntil(const std::function<bool()>& done, Seconds timeout) {
    becomeMainThread();
    auto& ctx = mainQueue().context;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    // One handler at a time: a queue that always has a handler due (a view whose next draw is due
    // before the last one ended) must not keep the caller from seeing `done` or the deadline.
    while (true) {
        if (done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        if (ctx.poll_one() == 0)
            ctx.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5)));
    }
}

unsigned backgroundThreadCount() {
    // The cores this process may run on (its affinity mask), so a pinned process does not oversubscribe.
    static const unsigned n = [] {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(2u, unsigned(CPU_COUNT(&set)));
        return std::max(2u, std::thread::hardware_concurrency());
    }();
    return n;
}

void postBackground(Task task) { asio::post(pool(), counted(std::move(task))); }

std::size_t backgroundWorkInFlight() { return inFlight.load(std::memory_order_acquire); }

// ---- serial queue ----

struct SerialQueue::Impl {
    std::string label;
    asio::strand<asio::thread_pool::executor_type> strand{asio::make_strand(pool().get_executor())};
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_shared<Impl>()) { impl_->label = std::move(label); }
SerialQueue::~SerialQueue() = default;

void SerialQueue::post(Task task) { asio::post(impl_->strand, counted(std::move(task))); }

const std::string& SerialQueue::label() const { return impl_->label; }

void SerialQueue::waitUntilIdle() {
    std::mutex m;
    std::condition_variable cv;
    bool reached = false;
    post([&] {
        std::lock_guard lock(m);
        reached = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return reached; });
}

// ---- timer ----

struct Timer::Impl {
    std::optional<asio::steady_timer> timer; // absent on virtual time
    std::atomic<bool> pending{true};
    Task task;

    // Runs the task once, on the main queue, unless cancelled first.
    void fire() {
        if (!pending.exchange(false)) return;
        timersPending.fetch_sub(1, std::memory_order_release);
        Task t = std::move(task);
        task = nullptr;
        if (t) t();
    }
};

Timer::Timer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduleOnMain(Seconds delay, Task task) {
    auto impl = std::make_shared<Impl>();
    impl->task = std::move(task);
    timersPending.fetch_add(1, std::memory_order_relaxed);
    const auto wait = std::chrono::duration_cast<Nanoseconds>(delay);
    if (auto* time = VirtualTime::current()) {
        time->scheduleTimer(time->now() + std::max(Nanoseconds(0), wait), [impl] { impl->fire(); },
                            [impl] { return !impl->pending.load(); });
    } else {
        impl->timer.emplace(mainQueue().context);
        impl->timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait));
        // The wait holds the state alive until it completes, even when the Timer handle is dropped.
        impl->timer->async_wait([impl](const boost::system::error_code& ec) {
            if (!ec) impl->fire();
        });
    }
    return std::shared_ptr<Timer>(new Timer(impl));
}

void Timer::cancel() {
    if (!impl_->pending.exchange(false)) return;
    timersPending.fetch_sub(1, std::memory_order_release);
    // The steady_timer and the task are only touched on the main queue.
    auto release = [impl = impl_] {
        if (impl->timer) impl->timer->cancel();
        impl->task = nullptr;
    };
    if (isMainThread()) release();
    else postMain(std::move(release));
}

bool Timer::isPending() const { return impl_->pending.load(); }

} // namespace platform::dispatch

} // namespace MivoKit
