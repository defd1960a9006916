#include "kit/service/base64.hpp"

#include <array>

namespace MivoKit {

namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodingTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

constexpr auto kDecodingTable = makeDecodingTable();

} // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t values = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::uint8_t value = 0;
            if (j < values) {
                value = kDecodingTable[static_cast<unsigned char>(text[i + j])];
                if (value == kInvalid) return std::nullopt;
            }
            group = group << 6 | value;
        }
        bytes.push_back(static_cast<std::uint8_t>(group >> 16));
        if (values > 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
        if (values > 3) bytes.push_back(static_cast<std::uint8_t>(group));
    }
    return bytes;
}

} // namespace MivoKit
