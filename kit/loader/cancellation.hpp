#pragma once
// Cancelling a load: the caller's std::stop_token ends transfers and waits between attempts.

#include <stdexcept>
#include <stop_token>

namespace MivoKit {

namespace character_loader {

class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The task was cancelled.") {}
};

// Waits `seconds` (truncated to whole nanoseconds); throws CancellationError as soon as `stop` is
// triggered, also when it already was.
void waitOrThrow(double seconds, std::stop_token stop);

} // namespace character_loader

} // namespace MivoKit
