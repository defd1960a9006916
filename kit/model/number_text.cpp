#include "kit/model/number_text.hpp"

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace MivoKit {

namespace number_text {

namespace {

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

bool refusedFirstByte(char c) {
    return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Forms from_chars refuses (a leading "+", hexadecimal constants, out-of-range values) go through
// the C library on a zero-terminated copy of the token.
template <class T>
[[gnu::noinline]] std::optional<T> parseWithCLibrary(std::string_view token) {
    char small[64];
    std::string large;
    const char* text;
    if (token.size() < sizeof small) {
        token.copy(small, token.size());
        small[token.size()] = '\0';
        text = small;
    } else {
        large.assign(token);
        text = large.c_str();
    }
    char* parsedEnd = nullptr;
    T result;
    if constexpr (std::same_as<T, float>) result = strtof_l(text, &parsedEnd, cLocale());
    else result = strtod_l(text, &parsedEnd, cLocale());
    if (parsedEnd != text + token.size()) return std::nullopt;
    return result;
}

template <class T>
std::optional<T> parseFloating(std::string_view token) {
    if (token.empty() || refusedFirstByte(token.front())) return std::nullopt;
    // Plain decimal forms, correctly rounded like strtof/strtod.
    T value{};
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec == std::errc{} && end == token.data() + token.size()) return value;
    return parseWithCLibrary<T>(token);
}

} // namespace

std::optional<float> parseFloat(std::string_view token) { return parseFloating<float>(token); }
std::optional<double> parseDouble(std::string_view token) { return parseFloating<double>(token); }

} // namespace number_text

} // namespace MivoKit
