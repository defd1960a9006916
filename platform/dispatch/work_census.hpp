#pragma once
// A census of the work the platform layer has started and not yet finished: tasks on the background
// pool and on serial queues, handlers waiting on the main queue, main-queue timers still to fire,
// spawned async tasks still running, and the counts that other pieces register (the GPU's command
// buffers between commit and completion). Tests read it to check that each one ends idle; the exit
// handler of the background pool reads the background count.
//
// Counts are atomics read from any thread: a census is a snapshot, exact once nothing is running.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace platform::dispatch {

struct WorkCount {
    std::string_view what; // "background tasks", "main-queue handlers", ...
    std::size_t count;
};

// Adds a named count to every census. `what` must live for the process (a literal); registering the
// same name again does nothing.
void registerWorkCounter(std::string_view what, std::size_t (*count)());

// The counts that are not zero, in registration order (dispatch's own first).
std::vector<WorkCount> workInProgress();
// "2 background tasks, 1 main-queue handlers", or "" when idle.
std::string describe(const std::vector<WorkCount>& work);

// ---- used by the platform layer ----
std::size_t mainHandlersPending();
std::size_t mainTimersPending();
std::size_t asyncTasksRunning();

} // namespace platform::dispatch

} // namespace MivoKit
