#pragma once
// Which FLAME model a frame targets.

#include "kit/model/raw_value.hpp"

#include <functional>
#include <string_view>

namespace MivoKit {

enum class FlameVersion { V_2023, V_2020, Mix };

template <>
struct RawValues<FlameVersion> {
    static constexpr std::array<std::pair<FlameVersion, std::string_view>, 3> table{{
        {FlameVersion::V_2023, "2023"},
        {FlameVersion::V_2020, "2020"},
        {FlameVersion::Mix, "mix"},
    }};
};

} // namespace MivoKit

// Hashed by its raw text.
template <>
struct std::hash<MivoKit::FlameVersion> {
    std::size_t operator()(MivoKit::FlameVersion v) const noexcept { return std::hash<std::string_view>{}(MivoKit::toRaw(v)); }
};
