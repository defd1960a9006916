#include "platform/dispatch/clock.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace MivoKit;

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;
using dispatch::Nanoseconds;

namespace {

// Ticks every `period` from `first`, recording the virtual time of each tick.
struct RecordingTicker : dispatch::VirtualTime::Ticker {
    Nanoseconds next, period;
    std::vector<Nanoseconds> ticks;
    std::vector<std::string>* order = nullptr;
    RecordingTicker(Nanoseconds first, Nanoseconds period) : next(first), period(period) {}
    Nanoseconds nextTick() const override { return next; }
    void tick() override {
        ticks.push_back(dispatch::VirtualTime::current()->now());
        if (order) order->push_back("tick");
        next += period;
    }
};

} // namespace

TEST(VirtualTime, ClockStandsStillUntilAdvancedAndTimersFireAtTheirDeadlinesInOrder) {
    dispatch::VirtualTime time;
    const Nanoseconds start = dispatch::monotonicNow();
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(dispatch::monotonicNow(), start);

    std::vector<std::pair<int, Nanoseconds>> fired;
    auto record = [&](int id) { return [&, id] { fired.push_back({id, dispatch::monotonicNow() - start}); }; };
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.030), record(3));
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.010), record(1));
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.010), record(2)); // same deadline: scheduling order
    auto cancelled = dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.020), record(99));
    cancelled->cancel();

    time.advance(29ms);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], std::make_pair(1, Nanoseconds(10ms)));
    EXPECT_EQ(fired[1], std::make_pair(2, Nanoseconds(10ms)));
    EXPECT_EQ(dispatch::monotonicNow() - start, 29ms);
    time.advance(1ms);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[2], std::make_pair(3, Nanoseconds(30ms)));
}

TEST(VirtualTime, TimersScheduledByTimersAndTicksInterleaveByDeadlineWithTicksFirst) {
    dispatch::VirtualTime time;
    const Nanoseconds start = time.now();
    std::vector<std::string> order;
    RecordingTicker ticker(start + 10ms, 10ms);
    ticker.order = &order;
    time.addTicker(&ticker);
    // A chain of timers 20 ms apart, each scheduling the next from its own handler.
    std::function<void()> chain = [&] {
        order.push_back("timer");
        if (order.size() < 8) dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.020), chain);
    };
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.020), chain);
    time.advance(60ms);
    time.removeTicker(&ticker);
    EXPECT_EQ(order, (std::vector<std::string>{"tick", "tick", "timer", "tick", "tick", "timer", "tick", "tick", "timer"}));
    ASSERT_EQ(ticker.ticks.size(), 6u);
    for (std::size_t i = 0; i < ticker.ticks.size(); ++i) EXPECT_EQ(ticker.ticks[i] - start, Nanoseconds(10ms) * (i + 1));
}

TEST(VirtualTime, SettlesBackgroundWorkAndWhatItPostsBeforeTheNextDeadline) {
    dispatch::VirtualTime time;
    std::vector<std::string> order;
    dispatch::postBackground([&] {
        std::this_thread::sleep_for(20ms); // real time: virtual time waits for it
        dispatch::postMain([&] {
            order.push_back("background result");
            dispatch::postBackground([&] { dispatch::postMain([&] { order.push_back("second result"); }); });
        });
    });
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.001), [&] { order.push_back("timer"); });
    time.advance(1ms);
    EXPECT_EQ(order, (std::vector<std::string>{"background result", "second result", "timer"}));
    EXPECT_EQ(dispatch::backgroundWorkInFlight(), 0u);
}

TEST(VirtualTime, PendingTimersMoveToTheSteadyClockWhenUninstalledAndOnlyOneCanBeInstalled) {
    int fired = 0;
    {
        dispatch::VirtualTime time;
        EXPECT_THROW(dispatch::VirtualTime second, std::logic_error);
        EXPECT_EQ(dispatch::VirtualTime::current(), &time);
        dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.010), [&] { ++fired; });
        time.advance(5ms);
        EXPECT_EQ(fired, 0);
    }
    EXPECT_EQ(dispatch::VirtualTime::current(), nullptr);
    EXPECT_TRUE(dispatch::pumpMainUntil([&] { return fired == 1; }, dispatch::Seconds(5)));
}

TEST(VirtualTime, AdvanceUntilStopsWhenTheConditionHoldsOrAtTheLimit) {
    dispatch::VirtualTime time;
    const Nanoseconds start = time.now();
    bool due = false;
    dispatch::Timer::scheduleOnMain(dispatch::Seconds(0.095), [&] { due = true; });
    EXPECT_TRUE(time.advanceUntil([&] { return due; }, 10ms, 1s));
    EXPECT_EQ(time.now() - start, 100ms);
    EXPECT_FALSE(time.advanceUntil([] { return false; }, 30ms, 100ms));
    EXPECT_EQ(time.now() - start, 200ms);
}
