#include "platform/dispatch/dispatch.hpp"

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
#include <thread>

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
        ctx.poll();
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

void postBackground(Task task) { asio::post(pool(), std::move(task)); }

// ---- serial queue ----

struct SerialQueue::Impl {
    std::string label;
    asio::strand<asio::thread_pool::executor_type> strand{asio::make_strand(pool().get_executor())};
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_shared<Impl>()) { impl_->label = std::move(label); }
SerialQueue::~SerialQueue() = default;

void SerialQueue::post(Task task) { asio::post(impl_->strand, std::move(task)); }

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
    explicit Impl(asio::io_context& ctx) : timer(ctx) {}
    asio::steady_timer timer;
    std::atomic<bool> pending{true};
    Task task;
};

Timer::Timer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduleOnMain(Seconds delay, Task task) {
    auto impl = std::make_shared<Impl>(mainQueue().context);
    impl->task = std::move(task);
    impl->timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay));
    // The wait holds the state alive until it completes, even when the Timer handle is dropped.
    impl->timer.async_wait([impl](const boost::system::error_code& ec) {
        if (ec || !impl->pending.exchange(false)) return;
        Task t = std::move(impl->task);
        impl->task = nullptr;
        if (t) t();
    });
    return std::shared_ptr<Timer>(new Timer(impl));
}

void Timer::cancel() {
    if (!impl_->pending.exchange(false)) return;
    // The steady_timer is only touched on the main queue.
    auto impl = impl_;
    if (isMainThread()) {
        impl->timer.cancel();
        impl->task = nullptr;
    } else {
        postMain([impl] {
            impl->timer.cancel();
            impl->task = nullptr;
        });
    }
}

bool Timer::isPending() const { return impl_->pending.load(); }

} // namespace platform::dispatch
