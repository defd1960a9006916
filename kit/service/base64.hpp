#pragma once
// Strict standard Base64 (RFC 4648, section 4): the 64-letter alphabet with "=" padding to a
// multiple of four characters. Anything else, line breaks and spaces included, is refused.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace MivoKit {

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

} // namespace MivoKit
