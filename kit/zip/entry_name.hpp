#pragma once
// Turning an archive's stored entry names, and the caller's archive paths, into file-system names.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace zipdetail {

// True when the stored name ends in "/" or "\", the mark of a directory entry.
bool isDirectoryEntryName(std::string_view storedName);

// The components of an entry name below the destination. "\" separates like "/"; empty and "."
// components are dropped, so an absolute name stays below the destination. nullopt when a
// component is ".." or the name holds a NUL byte: such a name could reach outside.
std::optional<std::vector<std::string>> entryNameComponents(std::string_view name);

// The last component of `path`, ignoring trailing separators; a relative path is taken from the
// current directory ("." names the current directory itself).
std::string lastPathComponent(const std::filesystem::path& path);

// The text after the last dot of the last component ("" without a dot).
std::string pathExtension(const std::filesystem::path& path);

} // namespace zipdetail

} // namespace MivoKit
