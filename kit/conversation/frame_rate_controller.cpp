#include "kit/conversation/frame_rate_controller.hpp"

#include <cmath>
#include <stdexcept>

namespace MivoKit {

using platform::dispatch::monotonicNow;
using platform::dispatch::Nanoseconds;

FrameRateController::FrameRateController(double targetFPS) : targetFPS_(targetFPS) {
    if (!(std::isfinite(targetFPS) && targetFPS > 0))
        throw std::invalid_argument("the frame rate must be positive and finite");
}

platform::dispatch::Async<void> FrameRateController::waitForNextFrame() {
    const Nanoseconds now = monotonicNow();
    const double interval = 1.0 / targetFPS_;
    if (lastFrameTime_) {
        const double elapsed = std::chrono::duration<double>(now - *lastFrameTime_).count();
        if (interval > elapsed) {
            // Truncated to whole nanoseconds.
            const auto nanoseconds = static_cast<std::uint64_t>((interval - elapsed) * 1'000'000'000.0);
            co_await platform::dispatch::sleep(Nanoseconds(static_cast<std::int64_t>(nanoseconds)));
        }
    }
    lastFrameTime_ = monotonicNow();
}

} // namespace MivoKit
