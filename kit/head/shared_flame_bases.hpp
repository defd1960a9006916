#pragma once
// The constant arrays of the heads loaded together, each set of values held once: the three heads
// of a character take their blend shapes and pose correctives from two model files, so the mixed
// head's bases are the same values as those of the other two.

#include <memory>
#include <vector>

namespace MivoKit {

class SharedFlameBases {
public:
    // An array holding exactly `values` (bit for bit): one handed out before, else `values` itself.
    std::shared_ptr<const std::vector<float>> intern(std::vector<float> values);

private:
    std::vector<std::shared_ptr<const std::vector<float>>> arrays_;
};

} // namespace MivoKit
