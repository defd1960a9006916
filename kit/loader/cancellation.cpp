#include "kit/loader/cancellation.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace MivoKit {

namespace character_loader {

void waitOrThrow(double seconds, std::stop_token stop) {
    const auto duration = std::chrono::nanoseconds(static_cast<std::uint64_t>(seconds * 1e9));
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    // Nothing notifies besides a stop request, so this returns after the delay or on a stop.
    wakeUp.wait_for(lock, stop, duration, [] { return false; });
    if (stop.stop_requested()) throw CancellationError();
}

} // namespace character_loader

} // namespace MivoKit
