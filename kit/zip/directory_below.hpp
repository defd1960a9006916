#pragma once
// Opening (and creating) directories below an extraction's destination without ever following a
// symbolic link found there, so that nothing planted in the destination can redirect a write.

#include "kit/zip/file_descriptor.hpp"

#include <filesystem>
#include <span>
#include <string>
#include <system_error>

namespace MivoKit {

namespace zipdetail {

struct DirectoryBelow {
    FileDescriptor fd;             // open on the directory; invalid when it could not be made
    std::error_code error;         // why not
    bool blockedByLink = false;    // a component below the root is a symbolic link
};

// Creates `root` with its parents when missing (links in `root` itself are followed: it is the
// caller's choice), then each of `components` below it, and opens the last directory reached.
DirectoryBelow openDirectoryBelow(const std::filesystem::path& root, std::span<const std::string> components);

} // namespace zipdetail

} // namespace MivoKit
