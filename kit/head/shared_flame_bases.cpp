#include "kit/head/shared_flame_bases.hpp"

#include <cstring>

namespace MivoKit {

std::shared_ptr<const std::vector<float>> SharedFlameBases::intern(std::vector<float> values) {
    // Bytes, not floats: a NaN must match itself and -0 must not match +0.
    for (const auto& array : arrays_)
        if (array->size() == values.size() &&
            (values.empty() || std::memcmp(array->data(), values.data(), values.size() * sizeof(float)) == 0))
            return array;
    auto array = std::make_shared<const std::vector<float>>(std::move(values));
    arrays_.push_back(array);
    return array;
}

} // namespace MivoKit
