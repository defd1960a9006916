#include "platform/dispatch/dispatch.hpp"

#include "platform/dispatch/clock.hpp"

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
#include <mutex>
#include <optional>
#include <thread>

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

asio::thread_pool& pool() {
    static asio::thread_pool* p = new asio::thread_pool(backgroundThreadCount());
    return *p;
}

// Background tasks posted and not yet finished, so virtual time can wait for them to settle.
std::atomic<std::size_t> inFlight{0};

// Counts `task` as in flight until it has run; whatever it posts is posted before it stops counting.
Task counted(Task task) {
    inFlight.fetch_add(1, std::memory_order_relaxed);
    return [task = std::move(task)] {
        struct Done {
            ~Done() { inFlight.fetch_sub(1, std::memory_order_release); }
        } done;
        task();
    };
}

void becomeMainThread() {
    auto& q = mainQueue();
    mainThread = std::this_thread::get_id();
    if (q.context.stopped()) q.context.restart();
}

} // namespace

void postMain(Task task) { asio::post(mainQueue().context, std::move(task)); }

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
    while (true) {
        // One handler at a time: a queue that always has one ready (a display link behind its
        // schedule, whose next draw is due when the last one returns) never drains, and poll()
        // would not return to look at `done` or the deadline.
        while (ctx.poll_one()) {
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
        }
        if (done()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        ctx.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5)));
        if (done()) return true;
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
    const auto wait = std::chrono::duration_cast<Nanoseconds>(delay);
    if (auto* time = VirtualTime::current()) {
        time->scheduleTimer(time->now() + std::max(Nanoseconds(0), wait), [impl] { impl->fire(); });
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
