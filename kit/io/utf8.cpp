#include "kit/io/utf8.hpp"

namespace MivoKit {

namespace utf8 {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

} // namespace

bool isValid(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        char32_t minimum;
        char32_t cp;
        if ((c & 0xE0) == 0xC0) length = 2, minimum = 0x80, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) length = 3, minimum = 0x800, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) length = 4, minimum = 0x10000, cp = c & 0x07;
        else return false;
        if (n - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if (!continuation(s[i + k])) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

char32_t next(std::string_view text, std::size_t& position) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    unsigned char c = s[position];
    std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (position + length > text.size()) length = text.size() - position; // tolerate a cut tail
    char32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (s[position + k] & 0x3F);
    position += length;
    return cp;
}

} // namespace utf8

} // namespace MivoKit
