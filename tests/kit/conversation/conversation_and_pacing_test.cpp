#include "kit/conversation/frame_rate_controller.hpp"
#include "kit/conversation/mv_character_conversation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace MivoKit;

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;
using dispatch::Nanoseconds;
using EndType = MvCharacterConversation::EndType;

namespace {

// Frames told apart by their first expression coefficient.
FlameFrameData numbered(int n) {
    FlameFrameData frame;
    frame.expr = {float(n)};
    return frame;
}

std::vector<FlameFrameData> numberedFrames(int from, int to) {
    std::vector<FlameFrameData> frames;
    for (int i = from; i <= to; ++i) frames.push_back(numbered(i));
    return frames;
}

int number(const std::optional<FlameFrameData>& frame) { return frame ? int(frame->expr.at(0)) : -1; }

std::vector<int> queueNumbers(const MvCharacterConversation& conversation) {
    std::vector<int> numbers;
    for (const auto& f : conversation.frameDataQueue) numbers.push_back(int(f.expr.at(0)));
    return numbers;
}

} // namespace

TEST(MvCharacterConversation, WithTheLimitDropsFramesBeforeTheOneLookedUpAndKeepsAbsoluteIndices) {
    MvCharacterConversation conversation("c", {}, numberedFrames(0, 9), false, EndType::receivedAllData, true);
    EXPECT_EQ(number(conversation.frame(3)), 3);
    EXPECT_EQ(queueNumbers(conversation), (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(conversation.frameDataOffset, 3);
    EXPECT_EQ(number(conversation.frame(3)), 3); // again: nothing changes
    EXPECT_EQ(conversation.frameDataQueue.size(), 7u);
    EXPECT_EQ(number(conversation.frame(2)), -1); // dropped
    EXPECT_EQ(number(conversation.frame(10)), -1); // not there yet: nothing changes
    EXPECT_EQ(conversation.frameDataOffset, 3);
    EXPECT_EQ(number(conversation.frame(9)), 9);
    EXPECT_EQ(queueNumbers(conversation), (std::vector<int>{9}));
    EXPECT_EQ(conversation.frameDataOffset, 9);

    // Frames appended later are found at their absolute index.
    for (auto& f : numberedFrames(10, 11)) conversation.frameDataQueue.push_back(f);
    EXPECT_EQ(number(conversation.frame(11)), 11);
    EXPECT_EQ(conversation.frameDataOffset, 11);

    // Indices far out of range neither overflow nor change anything.
    EXPECT_EQ(number(conversation.frame(std::numeric_limits<std::int64_t>::max())), -1);
    EXPECT_EQ(number(conversation.frame(std::numeric_limits<std::int64_t>::min())), -1);
    EXPECT_EQ(conversation.frameDataOffset, 11);
}

TEST(MvCharacterConversation, WithoutTheLimitAnyIndexInAnyOrderAndNothingIsDropped) {
    MvCharacterConversation conversation("c", {}, numberedFrames(0, 4), true, EndType::receivedAllData, false);
    EXPECT_EQ(number(conversation.frame(4)), 4);
    EXPECT_EQ(number(conversation.frame(0)), 0);
    EXPECT_EQ(number(conversation.frame(-1)), -1);
    EXPECT_EQ(number(conversation.frame(5)), -1);
    EXPECT_EQ(conversation.frameDataQueue.size(), 5u);
    EXPECT_EQ(conversation.frameDataOffset, 0);

    for (bool limit : {true, false}) {
        MvCharacterConversation empty("e", {}, {}, false, EndType::finishedPlayingAudio, limit);
        for (std::int64_t i : {-1, 0, 1, 100}) EXPECT_EQ(number(empty.frame(i)), -1) << limit << " " << i;
    }
}

TEST(MvCharacterConversation, TheReceivedAllFlagWakesWaitersOnlyWhenItChanges) {
    dispatch::VirtualTime time;
    auto conversation = std::make_shared<MvCharacterConversation>("c", std::vector<std::uint8_t>{1, 2},
                                                                  std::vector<FlameFrameData>{}, false,
                                                                  EndType::receivedAllData, true);
    std::vector<dispatch::AsyncEvent::Wake> wakes;
    auto task = dispatch::spawn([](std::shared_ptr<MvCharacterConversation> c, auto& wakes) -> dispatch::Async<void> {
        wakes.push_back(co_await c->changed().wait(1s));
        wakes.push_back(co_await c->changed().wait(1s));
    }(conversation, wakes));
    time.settle();
    conversation->setReceivedAllData(false); // no change, no notice
    time.advance(10ms);
    EXPECT_TRUE(wakes.empty());
    conversation->setReceivedAllData(true);
    time.advance(10ms);
    ASSERT_EQ(wakes.size(), 1u);
    EXPECT_EQ(wakes[0], dispatch::AsyncEvent::Wake::notified);
    conversation->clear();
    EXPECT_TRUE(conversation->audioData.empty());
    time.advance(2s);
    EXPECT_TRUE(task.isFinished());
}

TEST(FrameRateController, SleepsOutTheRestOfTheIntervalSinceThePreviousWaitReturned) {
    dispatch::VirtualTime time;
    FrameRateController controller(25.0);
    std::vector<Nanoseconds> returnedAt;
    // Each wait starts `workBefore[i]` after the previous one returned.
    const std::vector<Nanoseconds> workBefore{0ms, 10ms, 50ms, 39ms, 40ms};
    auto task = dispatch::spawn([](FrameRateController& controller, const std::vector<Nanoseconds>& work,
                                   std::vector<Nanoseconds>& returnedAt) -> dispatch::Async<void> {
        for (Nanoseconds w : work) {
            if (w > 0ms) co_await dispatch::sleep(w);
            co_await controller.waitForNextFrame();
            returnedAt.push_back(dispatch::monotonicNow());
        }
    }(controller, workBefore, returnedAt));
    ASSERT_TRUE(time.advanceUntil([&] { return task.isFinished(); }, 1ms, 1s));
    ASSERT_EQ(returnedAt.size(), 5u);
    EXPECT_EQ(controller.lastFrameTime(), returnedAt.back());
    // First: no sleep. 10 ms of work: sleeps 30 ms. 50 ms: no sleep. 39 ms: 1 ms. 40 ms: none.
    EXPECT_EQ(returnedAt[1] - returnedAt[0], 40ms);
    EXPECT_EQ(returnedAt[2] - returnedAt[1], 50ms);
    EXPECT_EQ(returnedAt[3] - returnedAt[2], 40ms);
    EXPECT_EQ(returnedAt[4] - returnedAt[3], 40ms);

    for (double bad : {0.0, -25.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_THROW(FrameRateController{bad}, std::invalid_argument) << bad;
}

TEST(FrameRateController, ACancelledSleepCountsAsRunOut) {
    dispatch::VirtualTime time;
    FrameRateController controller(25.0);
    auto task = dispatch::spawn([](FrameRateController& controller) -> dispatch::Async<void> {
        co_await controller.waitForNextFrame();
        co_await controller.waitForNextFrame();
    }(controller));
    time.advance(10ms);
    EXPECT_FALSE(task.isFinished());
    task.cancel();
    time.settle();
    EXPECT_TRUE(task.isFinished());
    EXPECT_EQ(controller.lastFrameTime(), time.now()); // recorded after the shortened sleep
}
