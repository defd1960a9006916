#include "kit/zip/zip_utilities.hpp"

#include "kit/zip/entry_name.hpp"

namespace MivoKit {

namespace fs = std::filesystem;

std::vector<ZipUtilities::ProcessedFilePath> ZipUtilities::expandPaths(const std::vector<fs::path>& paths) const {
    std::vector<ProcessedFilePath> records;
    for (const fs::path& path : paths) {
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            auto listed = listDirectoryFiles(path);
            records.insert(records.end(), std::make_move_iterator(listed.begin()), std::make_move_iterator(listed.end()));
        } else {
            records.push_back({path, zipdetail::lastPathComponent(path)});
        }
    }
    return records;
}

std::vector<ZipUtilities::ProcessedFilePath> ZipUtilities::listDirectoryFiles(const fs::path& directory) const {
    std::vector<ProcessedFilePath> records;
    std::error_code ec;
    fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, ec);
    if (ec) return records;
    const fs::path root(zipdetail::lastPathComponent(directory));
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& item = it->path();
        std::error_code statError;
        if (fs::is_directory(item, statError)) continue;
        records.push_back({item, (root / item.lexically_relative(directory)).generic_string()});
    }
    return records;
}

} // namespace MivoKit
