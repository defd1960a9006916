#include "platform/files/file_url.hpp"

#include <cctype>

namespace MivoKit {

namespace platform::files {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

} // namespace

std::string percentEncode(std::string_view text, std::string_view allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (alphanumeric || (c != 0 && allowed.find(ch) != std::string_view::npos)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string fileURLString(const std::filesystem::path& path, bool isDirectory) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) absolute = path;
    std::string text = absolute.lexically_normal().string();
    if (isDirectory && (text.empty() || text.back() != '/')) text += '/';
    return "file://" + percentEncode(text, "-._~!$&'()*+,;=:@/");
}

std::optional<std::filesystem::path> pathFromFileURL(std::string_view text) {
    if (!startsWithNoCase(text, "file:")) return std::nullopt;
    std::string_view rest = text.substr(5);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        const std::string_view authority = rest.substr(0, slash);
        if (!authority.empty() && !startsWithNoCase(authority, "localhost")) return std::nullopt;
        if (authority.size() > 9) return std::nullopt;
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with('/')) return std::nullopt;
    rest = rest.substr(0, rest.find_first_of("?#"));

    std::string decoded;
    decoded.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            decoded += rest[i];
            continue;
        }
        if (i + 2 >= rest.size()) return std::nullopt;
        const int high = hexValue(rest[i + 1]);
        const int low = hexValue(rest[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        const char c = static_cast<char>(high * 16 + low);
        if (c == '\0') return std::nullopt;
        decoded += c;
        i += 2;
    }
    return std::filesystem::path(decoded);
}

} // namespace platform::files

} // namespace MivoKit
