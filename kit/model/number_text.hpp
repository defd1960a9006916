#pragma once
// Numbers written as text in asset files, independent of the application's locale.
//
// A token converts only when the whole token is a valid number: nothing may precede or follow it.
// - Integers: an optional "+" or "-", then one or more ASCII decimal digits, within the type's
//   range (so "-0" is a valid unsigned zero); no hexadecimal, decimal point or exponent.
// - Floats: the C library's strtof/strtod syntax in the C locale (decimal with optional sign,
//   fraction and exponent, hexadecimal constants, inf, infinity and nan in any letter case),
//   rounded directly to the target precision. A token that begins with whitespace or a zero byte
//   is refused. Values beyond the finite range become infinities, values too small become zero or
//   a denormal, as the C library gives them.

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace MivoKit {

namespace number_text {

std::optional<float> parseFloat(std::string_view token);
std::optional<double> parseDouble(std::string_view token);

template <std::integral T>
    requires(sizeof(T) <= 8 && !std::same_as<T, bool>)
std::optional<T> parseInteger(std::string_view token) {
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    if (i == token.size()) return std::nullopt;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < token.size(); ++i) {
        char c = token[i];
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) overflow = true;
        else magnitude = magnitude * 10 + digit;
    }
    if (overflow) return std::nullopt;
    if (negative) {
        if (magnitude == 0) return T{0};
        if constexpr (std::unsigned_integral<T>) {
            return std::nullopt;
        } else {
            // |min| = max + 1
            auto limit = static_cast<std::uint64_t>(std::numeric_limits<T>::max()) + 1;
            if (magnitude > limit) return std::nullopt;
            return static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1);
        }
    }
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
    return static_cast<T>(magnitude);
}

} // namespace number_text

} // namespace MivoKit
