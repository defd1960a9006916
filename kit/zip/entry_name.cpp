#include "kit/zip/entry_name.hpp"

namespace MivoKit {

namespace zipdetail {

bool isDirectoryEntryName(std::string_view storedName) {
    return !storedName.empty() && (storedName.back() == '/' || storedName.back() == '\\');
}

std::optional<std::vector<std::string>> entryNameComponents(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view part = name.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

std::string lastPathComponent(const std::filesystem::path& path) {
    std::string text = std::filesystem::absolute(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return std::filesystem::path(text).filename().string();
}

std::string pathExtension(const std::filesystem::path& path) {
    const std::string name = lastPathComponent(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

} // namespace zipdetail

} // namespace MivoKit
