// Extraction: the last stage of the download step, which unpacks the downloaded archives into the
// character directory.

#include "kit/loader/character_identifier.hpp"
#include "kit/loader/download_error.hpp"
#include "kit/loader/downloader.hpp"
#include "kit/zip/zip.hpp"
#include "platform/log/log.hpp"

namespace MivoKit {

namespace fs = std::filesystem;
using platform::log::print;

namespace character_loader {
namespace {

void removeQuietly(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

// The entries directly inside the directory, files and directories alike, hidden ones included.
std::size_t countEntries(const fs::path& directory) {
    std::size_t count = 0;
    for (fs::directory_iterator it(directory), end; it != end; ++it) ++count;
    return count;
}

} // namespace

fs::path Downloader::extractAssets(const std::vector<DownloadedArchive>& archives, const Mivo::CharacterMeta& meta,
                                   const StateHandler& stateHandler) const {
    notify(stateHandler, LoadState::extracting());
    const fs::path downloadDirectory = temporaryDownloadDirectory(meta.id);
    const fs::path characterDir = characterDirectory(meta.id);

    // An existing directory keeps its content; a failure here leaves everything in place.
    fs::create_directories(characterDir);

    try {
        // Straight into the character directory, one after the other: a file in both archives
        // ends up with the model archive's content.
        for (const auto& archive : archives) {
            print("正在解压 " + archive.resourceType + " 资源...");
            Zip::unzipFile(archive.file, characterDir, true, std::nullopt);
            print(archive.resourceType + " 资源解压完成");
        }
        const std::size_t entries = countEntries(characterDir);
        if (entries == 0) throw DownloadError::noFilesFound();
        print("解压完成，找到 " + std::to_string(entries) + " 个文件/目录");
    } catch (...) {
        removeQuietly(downloadDirectory);
        removeQuietly(characterDir);
        notify(stateHandler, LoadState::failed(LoadError::extractAssetsFailed));
        throw;
    }

    removeQuietly(downloadDirectory);
    notify(stateHandler, LoadState::completed());
    return characterDir;
}

} // namespace character_loader

} // namespace MivoKit
