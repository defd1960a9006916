#include "platform/dispatch/async_task.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace MivoKit;

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;
using dispatch::Async;
using dispatch::Nanoseconds;

namespace {

Async<int> doubledOffMain(int value, std::vector<std::string>& log) {
    co_await dispatch::onBackground();
    log.push_back(dispatch::isMainThread() ? "background on main" : "background");
    co_await dispatch::onMain();
    log.push_back(dispatch::isMainThread() ? "main" : "main off main");
    co_return value * 2;
}

Async<void> throwing() {
    co_await dispatch::onMain();
    throw std::runtime_error("inner failure");
}

} // namespace

TEST(AsyncTask, StartsOnTheMainQueueHopsBetweenQueuesAndReturnsValuesFromNestedCoroutines) {
    std::vector<std::string> log;
    int result = 0;
    auto task = dispatch::spawn([](std::vector<std::string>& log, int& result) -> Async<void> {
        log.push_back(dispatch::isMainThread() ? "start on main" : "start off main");
        result = co_await doubledOffMain(21, log);
        try {
            co_await throwing();
        } catch (const std::runtime_error& e) {
            log.push_back(e.what());
        }
    }(log, result));
    EXPECT_TRUE(log.empty()); // not before the current handler ends
    EXPECT_FALSE(task.isFinished());
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return task.isFinished(); }, dispatch::Seconds(5)));
    EXPECT_EQ(result, 42);
    EXPECT_EQ(log, (std::vector<std::string>{"start on main", "background", "main", "inner failure"}));
}

TEST(AsyncTask, SleepsOnVirtualTimeAndACancelledSleepEndsAtOnce) {
    dispatch::VirtualTime time;
    const Nanoseconds start = time.now();
    std::vector<std::pair<bool, Nanoseconds>> wakes;
    auto sleeper = [](std::vector<std::pair<bool, Nanoseconds>>& wakes, Nanoseconds start) -> Async<void> {
        for (int i = 0; i < 3; ++i) {
            const bool ranOut = co_await dispatch::sleep(40ms);
            wakes.push_back({ranOut, dispatch::monotonicNow() - start});
        }
    };
    auto task = dispatch::spawn(sleeper(wakes, start));
    time.advance(80ms);
    ASSERT_EQ(wakes.size(), 2u);
    EXPECT_EQ(wakes[0], std::make_pair(true, Nanoseconds(40ms)));
    EXPECT_EQ(wakes[1], std::make_pair(true, Nanoseconds(80ms)));
    time.advance(10ms);
    task.cancel();
    time.settle();
    ASSERT_EQ(wakes.size(), 3u);
    EXPECT_EQ(wakes[2], std::make_pair(false, Nanoseconds(90ms))); // woken at once, not at 120 ms
    EXPECT_TRUE(task.isFinished());
    EXPECT_TRUE(task.isCancelled());

    // A task cancelled before it sleeps does not sleep at all.
    wakes.clear();
    auto early = dispatch::spawn(sleeper(wakes, start));
    early.cancel();
    time.settle();
    EXPECT_TRUE(early.isFinished());
    EXPECT_EQ(wakes, (std::vector<std::pair<bool, Nanoseconds>>(3, {false, Nanoseconds(90ms)})));
}

TEST(AsyncTask, EventWaitsEndByNoticeTimeoutOrCancellationWithoutPolling) {
    dispatch::VirtualTime time;
    const Nanoseconds start = time.now();
    dispatch::AsyncEvent event;
    std::vector<std::pair<dispatch::AsyncEvent::Wake, Nanoseconds>> wakes;
    auto waiter = [](dispatch::AsyncEvent& event, auto& wakes, Nanoseconds start, int times) -> Async<void> {
        for (int i = 0; i < times; ++i) {
            auto wake = co_await event.wait(100ms);
            wakes.push_back({wake, dispatch::monotonicNow() - start});
        }
    };
    auto task = dispatch::spawn(waiter(event, wakes, start, 3));
    time.advance(30ms);
    EXPECT_EQ(event.waiterCount(), 1u);
    event.notify();
    time.settle();
    time.advance(150ms); // the second wait times out at 130 ms; the third began then
    time.advance(20ms);
    task.cancel();
    time.settle();
    using Wake = dispatch::AsyncEvent::Wake;
    ASSERT_EQ(wakes.size(), 3u);
    EXPECT_EQ(wakes[0], std::make_pair(Wake::notified, Nanoseconds(30ms)));
    EXPECT_EQ(wakes[1], std::make_pair(Wake::timedOut, Nanoseconds(130ms)));
    EXPECT_EQ(wakes[2], std::make_pair(Wake::cancelled, Nanoseconds(200ms)));
    EXPECT_EQ(event.waiterCount(), 0u);
    EXPECT_TRUE(task.isFinished());
}

TEST(AsyncTask, CallbackAwaitResumesOnMainWhenCalledFromAnotherThreadOnce) {
    std::atomic<int> resumedOnMain{0};
    std::thread caller;
    auto task = dispatch::spawn([](std::thread& caller, std::atomic<int>& resumedOnMain) -> Async<void> {
        const bool called = co_await dispatch::awaitCallback([&caller](std::function<void()> done) {
            caller = std::thread([done] {
                done();
                done(); // later calls do nothing
            });
        });
        if (called && dispatch::isMainThread()) ++resumedOnMain;
    }(caller, resumedOnMain));
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return task.isFinished(); }, dispatch::Seconds(5)));
    caller.join();
    dispatch::pumpMain();
    EXPECT_EQ(resumedOnMain.load(), 1);

    // Cancelled while waiting: resumes without the call, which may still come later.
    std::function<void()> later;
    bool result = true;
    auto waiting = dispatch::spawn([](std::function<void()>& later, bool& result) -> Async<void> {
        result = co_await dispatch::awaitCallback([&later](std::function<void()> done) { later = std::move(done); });
    }(later, result));
    dispatch::pumpMain();
    waiting.cancel();
    ASSERT_TRUE(dispatch::pumpMainUntil([&] { return waiting.isFinished(); }, dispatch::Seconds(5)));
    EXPECT_FALSE(result);
    later();
    dispatch::pumpMain();
}
