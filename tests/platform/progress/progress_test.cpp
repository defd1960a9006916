#include "platform/progress/progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace MivoKit;
using platform::progress::Progress;

TEST(Progress, ChildrenJoinTheCurrentProgressOfTheirOwnThreadForItsPendingUnitsOnce) {
    Progress unrelated(1);
    Progress parent(10);
    parent.setCompletedUnitCount(2);
    parent.becomeCurrent(4);
    unrelated.becomeCurrent(1);
    unrelated.resignCurrent(); // the parent is current again, its units still pending
    std::optional<Progress> child(std::in_place, 2);
    Progress late(1); // the pending units went to `child`
    late.setCompletedUnitCount(1);
    std::thread([] { Progress(1).setCompletedUnitCount(1); }).join(); // another thread's current: none
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 0.2);

    child->becomeCurrent(1);
    Progress grandchild(4); // joins the innermost current progress
    child->resignCurrent();
    grandchild.setCompletedUnitCount(2);
    EXPECT_DOUBLE_EQ(child->fractionCompleted(), 0.25);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 0.3);
    child->setCompletedUnitCount(1);
    child.reset(); // its share stays with the parent
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 0.5);

    EXPECT_THROW(late.resignCurrent(), std::logic_error);
    parent.resignCurrent();
    EXPECT_THROW(parent.resignCurrent(), std::logic_error);
    Progress(1).setCompletedUnitCount(1);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 0.5);

    // Nothing to do is done once reported; an unknown amount of work is never done.
    Progress empty(0);
    EXPECT_EQ(empty.fractionCompleted(), 0.0);
    empty.setCompletedUnitCount(0);
    EXPECT_EQ(empty.fractionCompleted(), 1.0);
    Progress unknown(-1);
    unknown.setCompletedUnitCount(5);
    EXPECT_EQ(unknown.fractionCompleted(), 0.0);
}

// A worker joins and advances its progress while this thread reads the parent, as an interface
// would: every reading is whole and none goes back.
TEST(Progress, AnotherThreadReadsTheFractionWhileTheWorkJoinsAndAdvances) {
    Progress overall(1);
    constexpr int steps = 2000;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        overall.becomeCurrent(1);
        Progress work(steps);
        overall.resignCurrent();
        for (int i = 1; i <= steps; ++i) work.setCompletedUnitCount(i);
        workerDone = true;
    });
    std::vector<double> readings;
    while (!workerDone) readings.push_back(overall.fractionCompleted());
    worker.join();
    readings.push_back(overall.fractionCompleted());
    for (std::size_t i = 1; i < readings.size(); ++i) ASSERT_GE(readings[i], readings[i - 1]) << "reading " << i;
    EXPECT_EQ(readings.back(), 1.0);
}
