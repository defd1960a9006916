#include "tests/support/ends_idle.hpp"

#include "platform/dispatch/dispatch.hpp"

#include <thread>

using namespace MivoKit;
using platform::dispatch::WorkCount;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// What `now` holds beyond `before`.
std::vector<WorkCount> added(const std::vector<WorkCount>& before, const std::vector<WorkCount>& now) {
    std::vector<WorkCount> extra;
    for (const auto& w : now) {
        std::size_t had = 0;
        for (const auto& b : before)
            if (b.what == w.what) had = b.count;
        if (w.count > had) extra.push_back({w.what, w.count - had});
    }
    return extra;
}

bool isSelfFinishing(std::string_view what) {
    return what == "background tasks" || what == "GPU command buffers" || what == "WebSocket calls";
}

// Work that finishes by itself (a pool task, a command buffer on the GPU thread) may still be
// counted for a moment after the test saw its result; handlers and timers on the main queue wait
// for a pump that will not come, and a connection stays open until somebody closes it.
std::vector<WorkCount> settledCensus(const std::vector<WorkCount>& before, Clock::duration grace) {
    const auto deadline = Clock::now() + grace;
    while (true) {
        auto work = added(before, platform::dispatch::workInProgress());
        bool running = false;
        for (const auto& w : work) running = running || isSelfFinishing(w.what);
        if (!running || Clock::now() >= deadline) return work;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

void EndsIdle::OnTestStart(const ::testing::TestInfo&) { atStart_ = platform::dispatch::workInProgress(); }

void EndsIdle::OnTestEnd(const ::testing::TestInfo&) {
    using namespace std::chrono_literals;
    const auto left = settledCensus(atStart_, 250ms);
    if (left.empty()) return;
    ADD_FAILURE() << "the test left work running after it ended: " << platform::dispatch::describe(left);
    // Give the next test a better chance to start idle: what runs by itself ends, what waits on the
    // main queue runs now.
    settledCensus(atStart_, 120s);
    platform::dispatch::pumpMainUntil([] { return platform::dispatch::mainHandlersPending() == 0; }, 10s);
}

bool finishWork(std::chrono::duration<double> timeout) {
    return platform::dispatch::pumpMainUntil([] { return platform::dispatch::workInProgress().empty(); }, timeout);
}

} // namespace testsupport
