#include "platform/dispatch/clock.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace MivoKit {

namespace platform::dispatch {
namespace {

std::atomic<VirtualTime*> installed{nullptr};

Nanoseconds steadyNow() {
    return std::chrono::duration_cast<Nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace

Nanoseconds monotonicNow() {
    if (auto* time = installed.load(std::memory_order_acquire)) return time->now();
    return steadyNow();
}

struct VirtualTime::Impl {
    struct PendingTimer {
        Nanoseconds deadline;
        std::uint64_t sequence;
        std::function<void()> task;
        std::function<bool()> cancelled;
    };

    mutable std::mutex mutex;
    Nanoseconds now{};
    std::uint64_t nextSequence = 0;
    std::vector<PendingTimer> timers; // unordered; few at a time
    std::vector<Ticker*> tickers;

    // The earliest timer due at or before `limit`, removed from the list.
    std::optional<PendingTimer> takeTimerDueBy(Nanoseconds limit) {
        auto earliest = std::min_element(timers.begin(), timers.end(), [](const auto& a, const auto& b) {
            return a.deadline != b.deadline ? a.deadline < b.deadline : a.sequence < b.sequence;
        });
        if (earliest == timers.end() || earliest->deadline > limit) return std::nullopt;
        PendingTimer timer = std::move(*earliest);
        timers.erase(earliest);
        return timer;
    }
};

VirtualTime::VirtualTime() : impl_(std::make_unique<Impl>()) {
    impl_->now = steadyNow();
    VirtualTime* expected = nullptr;
    if (!installed.compare_exchange_strong(expected, this))
        throw std::logic_error("virtual time is already installed");
}

VirtualTime::~VirtualTime() {
    installed.store(nullptr, std::memory_order_release);
    std::vector<Impl::PendingTimer> left;
    Nanoseconds now;
    {
        std::lock_guard lock(impl_->mutex);
        left.swap(impl_->timers);
        now = impl_->now;
    }
    // Whatever waits on them (a sleeping task, say) still gets its wake-up, on the steady clock.
    for (auto& timer : left)
        if (!timer.cancelled || !timer.cancelled())
            Timer::scheduleOnMain(std::chrono::duration_cast<Seconds>(std::max(Nanoseconds(0), timer.deadline - now)),
                              std::move(timer.task));
}

VirtualTime* VirtualTime::current() { return installed.load(std::memory_order_acquire); }

Nanoseconds VirtualTime::now() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->now;
}

void VirtualTime::settle() {
    while (true) {
        pumpMain();
        if (backgroundWorkInFlight() == 0) {
            // Finished background work posts its results before it stops counting.
            if (pumpMain() == 0) return;
            continue;
        }
        pumpMainUntil([] { return backgroundWorkInFlight() == 0; }, Seconds(60));
    }
}

void VirtualTime::advance(Nanoseconds duration) {
    Nanoseconds target;
    {
        std::lock_guard lock(impl_->mutex);
        target = impl_->now + std::max(Nanoseconds(0), duration);
    }
    while (true) {
        settle();
        // The next tick or timer due by the target; ticks first at equal deadlines.
        Ticker* ticker = nullptr;
        std::optional<Impl::PendingTimer> timer;
        {
            std::lock_guard lock(impl_->mutex);
            Nanoseconds tickAt = Nanoseconds::max();
            for (auto* candidate : impl_->tickers) {
                const Nanoseconds at = candidate->nextTick();
                if (at < tickAt) tickAt = at, ticker = candidate;
            }
            if (ticker && tickAt > target) ticker = nullptr;
            const Nanoseconds timerLimit = ticker ? tickAt - Nanoseconds(1) : target;
            if ((timer = impl_->takeTimerDueBy(timerLimit))) {
                ticker = nullptr;
                impl_->now = std::max(impl_->now, timer->deadline);
            } else if (ticker) {
                impl_->now = std::max(impl_->now, tickAt);
            } else {
                impl_->now = target;
                break;
            }
        }
        if (ticker) ticker->tick();
        else timer->task();
    }
    settle();
}

bool VirtualTime::advanceUntil(const std::function<bool()>& done, Nanoseconds step, Nanoseconds limit) {
    const Nanoseconds end = now() + limit;
    settle();
    while (!done()) {
        if (now() >= end) return false;
        advance(std::min(step, end - now()));
    }
    return true;
}

void VirtualTime::addTicker(Ticker* ticker) {
    std::lock_guard lock(impl_->mutex);
    if (std::find(impl_->tickers.begin(), impl_->tickers.end(), ticker) == impl_->tickers.end())
        impl_->tickers.push_back(ticker);
}

void VirtualTime::removeTicker(Ticker* ticker) {
    std::lock_guard lock(impl_->mutex);
    std::erase(impl_->tickers, ticker);
}

void VirtualTime::scheduleTimer(Nanoseconds deadline, std::function<void()> task, std::function<bool()> cancelled) {
    std::lock_guard lock(impl_->mutex);
    impl_->timers.push_back({deadline, impl_->nextSequence++, std::move(task), std::move(cancelled)});
}

} // namespace platform::dispatch

} // namespace MivoKit
