#pragma once
// A running total of byte counts that notices when it no longer fits in 64 bits, as the recorded
// sizes of a hostile archive's entries can make it.

#include <cstdint>
#include <limits>
#include <optional>

namespace MivoKit {

namespace zipdetail {

class SizeTotal {
public:
    void add(std::uint64_t size) {
        if (!total_) return;
        if (size > std::numeric_limits<std::uint64_t>::max() - *total_) {
            total_.reset();
            return;
        }
        *total_ += size;
    }

    // The total; nullopt once it has overflowed.
    std::optional<std::uint64_t> value() const { return total_; }

private:
    std::optional<std::uint64_t> total_ = 0;
};

} // namespace zipdetail

} // namespace MivoKit
