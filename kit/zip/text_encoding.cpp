#include "kit/zip/text_encoding.hpp"

#include "platform/files/file_url.hpp"

#include <algorithm>

namespace MivoKit {

namespace zipdetail {

std::string decodeUTF8Lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // Continuation count and the allowed range of the first continuation byte (Unicode table 3-7).
        int continuations = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) continuations = 1;
        else if (lead == 0xE0) continuations = 2, low = 0xA0;
        else if (lead == 0xED) continuations = 2, high = 0x9F;
        else if (lead >= 0xE1 && lead <= 0xEF) continuations = 2;
        else if (lead == 0xF0) continuations = 3, low = 0x90;
        else if (lead == 0xF4) continuations = 3, high = 0x8F;
        else if (lead >= 0xF1 && lead <= 0xF3) continuations = 3;
        else {
            out += kReplacement;
            ++i;
            continue;
        }
        std::size_t next = i + 1;
        int valid = 0;
        while (valid < continuations && next < bytes.size()) {
            const auto byte = static_cast<unsigned char>(bytes[next]);
            if (byte < (valid == 0 ? low : 0x80) || byte > (valid == 0 ? high : 0xBF)) break;
            ++valid;
            ++next;
        }
        if (valid == continuations) out.append(bytes.substr(i, next - i));
        else out += kReplacement; // the byte at `next` starts the next sequence
        i = next;
    }
    return out;
}

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string percentEncodeForQuery(std::string_view text) {
    return platform::files::percentEncode(text, "!$&'()*+,-./:;=?@_~");
}

} // namespace zipdetail

} // namespace MivoKit
