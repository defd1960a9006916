#include "platform/dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace MivoKit;

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

TEST(MainQueue, RunsHandlersInPostingOrderOnThePumpingThread) {
    std::vector<int> order;
    std::vector<bool> onMain;
    for (int i = 0; i < 5; ++i)
        dispatch::postMain([&, i] {
            order.push_back(i);
            onMain.push_back(dispatch::isMainThread());
            if (i == 2) dispatch::postMain([&] { order.push_back(99); });
        });
    dispatch::pumpMain();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 99}));
    EXPECT_EQ(onMain, std::vector<bool>(5, true));
}

TEST(MainQueue, PostsFromOtherThreadsArriveOnTheMainThread) {
    std::atomic<int> ran{0};
    std::thread::id mainId = std::this_thread::get_id();
    std::vector<std::thread::id> seen;
    std::vector<std::thread> threads;
    dispatch::pumpMain();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            EXPECT_FALSE(dispatch::isMainThread());
            for (int i = 0; i < 50; ++i)
                dispatch::postMain([&] {
                    seen.push_back(std::this_thread::get_id());
                    ++ran;
                });
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(dispatch::pumpMainUntil([&] { return ran == 200; }, 5s));
    for (auto id : seen) ASSERT_EQ(id, mainId);
}

TEST(MainQueue, PumpingUntilSeesItsConditionAndDeadlineBetweenHandlersOfABusyQueue) {
    // A handler that queues itself again is always due, as a view's next draw is when drawing is slow.
    int ran = 0;
    bool keepGoing = true;
    std::function<void()> again = [&] {
        ++ran;
        if (keepGoing) dispatch::postMain(again);
    };
    dispatch::postMain(again);
    EXPECT_TRUE(dispatch::pumpMainUntil([&] { return ran >= 10; }, 5s));
    EXPECT_EQ(ran, 10);
    EXPECT_FALSE(dispatch::pumpMainUntil([] { return false; }, 0.05s)); // returns at its deadline
    keepGoing = false;
    dispatch::pumpMain();
}

TEST(MainQueue, RunMainServesUntilStopped) {
    std::atomic<bool> ran{false};
    std::thread app([&] {
        dispatch::postMain([&] {
            ran = true;
            dispatch::stopMain();
        });
        dispatch::runMain();
    });
    app.join();
    EXPECT_TRUE(ran);
    // The queue can be pumped again after a stop.
    bool again = false;
    dispatch::postMain([&] { again = true; });
    dispatch::pumpMain();
    EXPECT_TRUE(again);
}

// A queue that never drains (a handler that always queues the next, like a display link that
// is behind its schedule) still lets pumpMainUntil see `done` and its deadline between handlers.
TEST(SerialQueue, RunsOneTaskAtATimeInOrder) {
    dispatch::SerialQueue queue("SRTaskQueue");
    EXPECT_EQ(queue.label(), "SRTaskQueue");
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    for (int i = 0; i < 200; ++i)
        queue.post([&, i] {
            int now = ++running;
            maxRunning = std::max(maxRunning.load(), now);
            {
                std::lock_guard lock(m);
                order.push_back(i);
            }
            --running;
        });
    queue.waitUntilIdle();
    EXPECT_EQ(maxRunning.load(), 1);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
}

TEST(Background, TasksRunOffTheMainThread) {
    std::atomic<int> done{0};
    std::atomic<int> onMain{0};
    for (int i = 0; i < 20; ++i)
        dispatch::postBackground([&] {
            if (dispatch::isMainThread()) ++onMain;
            ++done;
        });
    dispatch::pumpMain();
    EXPECT_TRUE(dispatch::pumpMainUntil([&] { return done == 20; }, 5s));
    EXPECT_EQ(onMain.load(), 0);
    EXPECT_GE(dispatch::backgroundThreadCount(), 2u);
}

TEST(Timer, FiresOnceOnTheMainQueueAfterItsDelay) {
    int fired = 0;
    auto start = std::chrono::steady_clock::now();
    auto timer = dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.05), [&] { ++fired; });
    EXPECT_TRUE(timer->isPending());
    EXPECT_TRUE(dispatch::pumpMainUntil([&] { return fired == 1; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_FALSE(timer->isPending());
    dispatch::pumpMainUntil([] { return false; }, 0.1s);
    EXPECT_EQ(fired, 1);
}

TEST(Timer, CancelledTimersNeverFire) {
    int fired = 0;
    auto cancelled = dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.02), [&] { ++fired; });
    auto fromThread = dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.05), [&] { ++fired; });
    cancelled->cancel();
    std::thread([&] { fromThread->cancel(); }).join();
    EXPECT_FALSE(cancelled->isPending());
    // A dropped handle does not cancel: the timer still fires.
    int dropped = 0;
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.03), [&] { ++dropped; });
    dispatch::pumpMainUntil([] { return false; }, 0.2s);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(dropped, 1);
}
