#pragma once
// UTF-8 text as the readers need it: strict validation and walking code points.

#include <cstddef>
#include <string_view>

namespace MivoKit {

namespace utf8 {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValid(std::string_view text);

// Decodes the code point starting at `text[position]` of valid UTF-8 text and moves `position`
// past it.
char32_t next(std::string_view text, std::size_t& position);

} // namespace utf8

} // namespace MivoKit
