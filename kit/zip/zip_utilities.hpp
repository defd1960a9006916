#pragma once
// Turns the paths given to Zip::zipFiles into the files to archive and their entry names.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

class ZipUtilities {
public:
    struct ProcessedFilePath {
        std::filesystem::path filePathURL;
        std::optional<std::string> fileName; // the entry's name inside the archive
    };

    // Each directory is replaced by listDirectoryFiles of it; anything else (a missing path too)
    // becomes one record named by its last path component. Order is kept.
    std::vector<ProcessedFilePath> expandPaths(const std::vector<std::filesystem::path>& paths) const;

    // Every non-directory below `directory`, recursively, named "<directory name>/<relative path>".
    // Empty directories give nothing; a directory that cannot be listed gives an empty result.
    std::vector<ProcessedFilePath> listDirectoryFiles(const std::filesystem::path& directory) const;
};

} // namespace MivoKit
