#include "kit/loader/character_identifier.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/model/path_join.hpp"
#include "platform/files/directories.hpp"

#include <vector>

namespace MivoKit {

namespace character_loader {
namespace {

std::vector<std::string_view> parts(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = text.find('/', start);
        out.push_back(text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) return out;
        start = slash + 1;
    }
}

// The length in bytes of the UTF-8 sequence that starts `text` (1 for a stray byte).
std::size_t firstCharacterLength(std::string_view text) {
    if (text.empty()) return 0;
    std::size_t n = 1;
    while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) ++n;
    return n;
}

} // namespace

bool isVersionCompatible(std::string_view identifier, std::string_view sdkVersion) {
    const auto split = parts(identifier);
    if (split.size() < 2) return true;
    std::string_view second = split[1];
    second.remove_prefix(firstCharacterLength(second));
    return second == sdkVersion.substr(0, firstCharacterLength(sdkVersion));
}

bool isSafeCharacterIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.front() == '/') return false;
    if (identifier.find('\0') != std::string_view::npos) return false;
    for (std::string_view part : parts(identifier))
        if (part == "." || part == "..") return false;
    return true;
}

std::filesystem::path characterDirectory(std::string_view identifier) {
    return appendRelative(MivoSDK::Configuration::charactersDirectoryUrl(), identifier);
}

std::filesystem::path temporaryDownloadDirectory(std::string_view identifier) {
    return appendRelative(platform::files::temporaryDirectory(), identifier);
}

} // namespace character_loader

} // namespace MivoKit
