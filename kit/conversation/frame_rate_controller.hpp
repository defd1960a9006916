#pragma once
// Paces the player's render loop: each wait sleeps out whatever is left of one frame interval since
// the previous wait returned. A frame whose work overran is followed at once, without catching up.
//
// Time is the monotonic clock (virtual time in tests), so a wall-clock step never stretches a wait.
// Called by the render loop task only, one wait at a time.

#include "platform/dispatch/async_task.hpp"

#include <optional>

namespace MivoKit {

class FrameRateController {
public:
    // Throws std::invalid_argument for a rate that is not positive and finite.
    explicit FrameRateController(double targetFPS);

    // Suspends (resuming on the main queue) for 1/targetFPS seconds minus the time since the
    // previous wait returned; the first wait does not sleep. A cancelled sleep ends early and counts
    // as run out. Records the time after any sleep.
    platform::dispatch::Async<void> waitForNextFrame();

    double targetFPS() const { return targetFPS_; }
    std::optional<platform::dispatch::Nanoseconds> lastFrameTime() const { return lastFrameTime_; }

private:
    double targetFPS_;
    std::optional<platform::dispatch::Nanoseconds> lastFrameTime_;
};

} // namespace MivoKit
