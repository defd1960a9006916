#pragma once
// The progress record of one archive operation: units are bytes, the kind is file work, and it can
// be neither cancelled nor paused.

#include <cstdint>

namespace MivoKit {

struct FileProgress {
    explicit FileProgress(std::int64_t total) : totalUnitCount(total) {}

    std::int64_t totalUnitCount;
    std::int64_t completedUnitCount = 0;
    static constexpr bool isCancellable = false;
    static constexpr bool isPausable = false;

    void finish() { completedUnitCount = totalUnitCount; }
};

} // namespace MivoKit
