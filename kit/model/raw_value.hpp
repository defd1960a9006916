#pragma once
// Enumerations with fixed text values: specialise RawValues<E> with the table of cases and their
// texts, then toRaw(e) gives the text and fromRaw<E>(text) the case (nullopt for any other text,
// compared exactly, case-sensitive).

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace MivoKit {

template <class E>
struct RawValues; // static constexpr std::array<std::pair<E, std::string_view>, N> table;

template <class E>
constexpr std::string_view toRaw(E value)
    requires requires { RawValues<E>::table; }
{
    for (const auto& [e, text] : RawValues<E>::table)
        if (e == value) return text;
    return {};
}

template <class E>
constexpr std::optional<E> fromRaw(std::string_view text)
    requires requires { RawValues<E>::table; }
{
    for (const auto& [e, raw] : RawValues<E>::table)
        if (raw == text) return e;
    return std::nullopt;
}

} // namespace MivoKit
