#pragma once
// A GoogleTest listener that fails every test which leaves work of the platform layer running after
// it ended (tasks on the background pool or serial queues, main-queue handlers or timers, async
// tasks, GPU command buffers, WebSocket tasks), so that no test hands its work to the next test or
// to the exit. Only what the test added counts: work left by an earlier test fails that test.

#include "platform/dispatch/work_census.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace testsupport {

class EndsIdle : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& test) override;
    void OnTestEnd(const ::testing::TestInfo& test) override;

private:
    std::vector<MivoKit::platform::dispatch::WorkCount> atStart_;
};

// Pumps the main queue until no work of the platform layer is left (true), or `timeout` passed.
// For a test's end, after it closed or cancelled what it started.
bool finishWork(std::chrono::duration<double> timeout = std::chrono::seconds(20));

} // namespace testsupport
