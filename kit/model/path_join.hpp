#pragma once

#include <filesystem>
#include <string_view>

namespace MivoKit {

// `root` with the components of `relative` ("/"-separated) appended below it. Empty and "."
// components are dropped, so a leading "/" never replaces the root; "name/v1" names nested
// directories.
std::filesystem::path appendRelative(const std::filesystem::path& root, std::string_view relative);

} // namespace MivoKit
