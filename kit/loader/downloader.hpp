#pragma once
// The download step of a load: sizes a character's two archives, downloads them one after the
// other into the temporary download folder with retries, checks each file's size against the
// announced one, reports progress after each archive, then unpacks them into the character
// directory (extraction).
//
// Every operation runs on the calling thread; the loader calls them from its background tasks,
// so the state handler is called there too.

#include "kit/loader/load_state.hpp"
#include "kit/model/character_meta.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace character_loader {

// The resource types, in download order, and the archive file names that go with them.
inline constexpr std::string_view kAnimationResource = "animation";
inline constexpr std::string_view kModelResource = "model";

// A downloaded archive waiting for extraction.
struct DownloadedArchive {
    std::filesystem::path file;
    std::string resourceType;
};

// Expected size in bytes per resource type.
using ExpectedSizes = std::map<std::string, std::int64_t, std::less<>>;

// A "Content-Length" value: an optional "+" or "-", then ASCII digits and nothing else, within
// the signed 64-bit range. Nothing for any other text.
std::optional<std::int64_t> parseContentLength(std::string_view text);

class Downloader {
public:
    // Throws std::invalid_argument for fewer than 1 attempt, or a delay that is negative, not
    // finite or beyond what a signed 64-bit count of nanoseconds can hold.
    explicit Downloader(int maxRetryCount = 3, double retryDelay = 2.0);

    int maxRetryCount() const { return maxRetryCount_; }
    double retryDelay() const { return retryDelay_; }

    // Sizes, downloads and extracts; returns the character directory. The first error ends the
    // step and is thrown unchanged.
    std::filesystem::path downloadAssets(const Mivo::CharacterMeta& meta, const StateHandler& stateHandler,
                                         std::stop_token stop = {}) const;

    // The size of each archive the description names with a valid URL, animation first. A
    // failed request ends the step; an answer that is not 2xx, has no or an unreadable
    // "Content-Length", a negative size, or sizes whose sum overflows is invalidResponse.
    ExpectedSizes fetchExpectedSizes(const Mivo::CharacterMeta& meta, std::stop_token stop = {}) const;
    // The "Content-Length" of the archive's GET answer; the body is never read.
    std::int64_t fetchContentLength(const std::string& url, std::stop_token stop = {}) const;

    // Empties the temporary download folder, then downloads the archives that have a valid URL
    // and an expected size, animation first, each with up to maxRetryCount attempts.
    std::vector<DownloadedArchive> downloadFiles(const Mivo::CharacterMeta& meta, const ExpectedSizes& expectedSizes,
                                                 const StateHandler& stateHandler, std::stop_token stop = {}) const;

    // The temporary download folder of the character, emptied and created; throws the file
    // system's error.
    static std::filesystem::path prepareDownloadDirectory(const std::string& characterId);

    // Unpacks the archives, in order, straight into the character directory, counts its
    // top-level entries and removes the temporary download folder. On failure removes the folder
    // and the character directory, reports failed(extractAssetsFailed) and rethrows.
    std::filesystem::path extractAssets(const std::vector<DownloadedArchive>& archives, const Mivo::CharacterMeta& meta,
                                        const StateHandler& stateHandler) const;

private:
    class ProgressTracker;

    void downloadFile(const std::string& url, const std::filesystem::path& destination, const std::string& resourceType,
                      std::int64_t expectedSize, ProgressTracker& tracker, std::stop_token stop) const;
    void downloadOnce(const std::string& url, const std::filesystem::path& destination, const std::string& resourceType,
                      std::int64_t expectedSize, std::stop_token stop) const;

    int maxRetryCount_;
    double retryDelay_;
};

} // namespace character_loader

} // namespace MivoKit
