#pragma once
// Ctrl-C and a service manager's stop for the demo. SIGINT and SIGTERM are blocked in every thread
// and taken by a watcher thread of this object, so no other thread is ever interrupted by them.
// The first one is only noted: the main loop sees it through received() and ends the demo in
// order (closing the manager, writing its files). A second one ends the process at once, even
// when the main loop is busy, as if nothing had caught it. endProcess() finally ends the process
// by the signal received, so that a shell or a service manager sees the demo stopped by it.
//
// Construct it first thing in main(), before any other thread starts: threads inherit the blocked
// set. received() may be called from any thread.

#include <atomic>
#include <optional>
#include <thread>

namespace demo {

class StopSignals {
public:
    StopSignals();
    // Stops the watcher; the signals stay blocked.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The first stop signal received, if one came; never waits.
    std::optional<int> received() const;
    // Ends the process by signal `number` with its default action.
    [[noreturn]] static void endProcess(int number);

private:
    void watch();

    std::atomic<int> received_{0};
    std::atomic<bool> quit_{false};
    std::thread watcher_;
};

} // namespace demo
