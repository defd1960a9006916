#pragma once
// The values of one element instance of a PLY body: one value per declared property, in
// declaration order, each of the case of its declared type.

#include <cstdint>
#include <variant>
#include <vector>

namespace MivoKit {

struct PLYElement {
    // A scalar of one of the eight primitive types, or a list of one of them (the list keeps only
    // its values; the count type is not kept).
    using Property = std::variant<std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                                  std::uint32_t, float, double, std::vector<std::int8_t>, std::vector<std::uint8_t>,
                                  std::vector<std::int16_t>, std::vector<std::uint16_t>, std::vector<std::int32_t>,
                                  std::vector<std::uint32_t>, std::vector<float>, std::vector<double>>;

    std::vector<Property> properties;
};

} // namespace MivoKit
