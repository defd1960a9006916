#pragma once
// Ctrl-C and a service manager's stop for the demo: SIGINT and SIGTERM are blocked in every thread
// from the start, so they wait, pending, until the main loop takes one with poll() and ends the
// demo in order (closing the manager, writing its files). After the first one, a second ends the
// process at once, as if nothing had caught it. endProcess() finally ends the process by the
// signal taken, so that a shell or a service manager sees the demo stopped by it.
//
// Construct it first thing in main(), before any thread starts: threads inherit the blocked set.
// Main thread only.

#include <optional>

namespace demo {

class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The stop signal taken, if one came (taken now or earlier); never waits.
    std::optional<int> poll();
    // Ends the process by signal `number` with its default action.
    [[noreturn]] static void endProcess(int number);

private:
    std::optional<int> taken_;
};

} // namespace demo
