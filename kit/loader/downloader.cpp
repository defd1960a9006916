#include "kit/loader/downloader.hpp"

#include "kit/loader/cancellation.hpp"
#include "kit/loader/character_identifier.hpp"
#include "kit/loader/download_error.hpp"
#include "platform/log/log.hpp"
#include "platform/net/http_task.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace MivoKit {

namespace fs = std::filesystem;
using platform::net::URLRequest;
using platform::net::URLSession;

namespace character_loader {
namespace {

// The platform session's default: a request fails after 60 seconds without a byte.
constexpr double kSessionTimeout = 60;

struct Archive {
    std::string_view resourceType;
    std::string_view fileName;
    std::optional<std::string> (Mivo::CharacterMeta::*url)() const;
};

constexpr Archive kArchives[] = {
    {kAnimationResource, "animation.zip", &Mivo::CharacterMeta::compressAnimationAssetUrl},
    {kModelResource, "model.zip", &Mivo::CharacterMeta::compressModelAssetUrl},
};

// The archive's URL text when it is a valid URL.
std::optional<std::string> archiveURL(const Mivo::CharacterMeta& meta, const Archive& archive) {
    std::string text = (meta.*archive.url)().value_or("");
    if (!platform::net::isValidURL(text)) return std::nullopt;
    return text;
}

// The sum of the expected sizes; invalidResponse for a negative size or a sum beyond 64 bits.
std::int64_t totalOf(const ExpectedSizes& sizes) {
    std::int64_t total = 0;
    for (const auto& [type, size] : sizes) {
        if (size < 0 || size > std::numeric_limits<std::int64_t>::max() - total) throw DownloadError::invalidResponse();
        total += size;
    }
    return total;
}

void moveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return;
    if (ec != std::errc::cross_device_link) throw fs::filesystem_error("cannot move the download", from, to, ec);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::remove(from);
}

// Removes a downloaded file unless it was moved into place.
struct RemoveUnlessKept {
    fs::path path;
    ~RemoveUnlessKept() {
        std::error_code ec;
        if (!path.empty()) fs::remove(path, ec);
    }
};

} // namespace

class Downloader::ProgressTracker {
public:
    ProgressTracker(std::int64_t totalExpectedBytes, const StateHandler& stateHandler, std::string characterId)
        : totalExpectedBytes_(totalExpectedBytes), stateHandler_(stateHandler), characterId_(std::move(characterId)) {}

    void update(const std::string& resourceType, std::int64_t bytes) {
        downloadedBytes_[resourceType] = bytes;
        totalDownloadedBytes_ += bytes;
        if (!stateHandler_) return;
        const float progress = totalExpectedBytes_ < 1 ? 0.0f
                                                       : static_cast<float>(totalDownloadedBytes_) /
                                                             static_cast<float>(totalExpectedBytes_);
        stateHandler_(LoadState::downloading(
            DownloadProgress{totalDownloadedBytes_, totalExpectedBytes_, progress, resourceType, characterId_}));
    }

private:
    std::int64_t totalExpectedBytes_;
    const StateHandler& stateHandler_;
    std::string characterId_;
    std::map<std::string, std::int64_t> downloadedBytes_;
    std::int64_t totalDownloadedBytes_ = 0;
};

std::optional<std::int64_t> parseContentLength(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate as a negative number, whose range is one larger, so INT64_MIN parses too.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMin) return std::nullopt;
    return -value;
}

Downloader::Downloader(int maxRetryCount, double retryDelay) : maxRetryCount_(maxRetryCount), retryDelay_(retryDelay) {
    if (maxRetryCount < 1) throw std::invalid_argument("Downloader: maxRetryCount must be at least 1");
    if (!std::isfinite(retryDelay) || retryDelay < 0 ||
        retryDelay * 1e9 >= static_cast<double>(std::numeric_limits<std::int64_t>::max()))
        throw std::invalid_argument("Downloader: retryDelay must be a finite, non-negative number of seconds");
}

fs::path Downloader::downloadAssets(const Mivo::CharacterMeta& meta, const StateHandler& stateHandler,
                                    std::stop_token stop) const {
    const ExpectedSizes sizes = fetchExpectedSizes(meta, stop);
    const auto archives = downloadFiles(meta, sizes, stateHandler, stop);
    return extractAssets(archives, meta, stateHandler);
}

ExpectedSizes Downloader::fetchExpectedSizes(const Mivo::CharacterMeta& meta, std::stop_token stop) const {
    ExpectedSizes sizes;
    for (const Archive& archive : kArchives) {
        if (auto url = archiveURL(meta, archive))
            sizes[std::string(archive.resourceType)] = fetchContentLength(*url, stop);
    }
    totalOf(sizes);
    return sizes;
}

std::int64_t Downloader::fetchContentLength(const std::string& url, std::stop_token stop) const {
    platform::net::HTTPURLResponse response;
    try {
        response = URLSession::responseHead(URLRequest{url, {}, kSessionTimeout}, stop);
    } catch (const platform::net::URLError& e) {
        // The transport refuses answers it cannot read as HTTP, a negative or empty
        // "Content-Length" among them.
        if (e.code() == platform::net::URLErrorCode::badServerResponse) throw DownloadError::invalidResponse();
        throw;
    }
    // An error page carries the length of the page, not of the archive.
    if (!response.isSuccess()) throw DownloadError::invalidResponse();
    const auto header = response.value("Content-Length");
    if (!header) throw DownloadError::invalidResponse();
    const auto length = parseContentLength(*header);
    if (!length || *length < 0) throw DownloadError::invalidResponse();
    return *length;
}

fs::path Downloader::prepareDownloadDirectory(const std::string& characterId) {
    const fs::path directory = temporaryDownloadDirectory(characterId);
    std::error_code ec;
    if (fs::symlink_status(directory, ec).type() != fs::file_type::not_found) fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

std::vector<DownloadedArchive> Downloader::downloadFiles(const Mivo::CharacterMeta& meta,
                                                         const ExpectedSizes& expectedSizes,
                                                         const StateHandler& stateHandler, std::stop_token stop) const {
    const fs::path directory = prepareDownloadDirectory(meta.id);
    ProgressTracker tracker(totalOf(expectedSizes), stateHandler, meta.id);
    std::vector<DownloadedArchive> archives;
    for (const Archive& archive : kArchives) {
        const auto url = archiveURL(meta, archive);
        const auto size = expectedSizes.find(archive.resourceType);
        if (!url || size == expectedSizes.end()) continue;
        const fs::path file = directory / archive.fileName;
        const std::string type(archive.resourceType);
        downloadFile(*url, file, type, size->second, tracker, stop);
        archives.push_back(DownloadedArchive{file, type});
    }
    return archives;
}

void Downloader::downloadFile(const std::string& url, const fs::path& destination, const std::string& resourceType,
                              std::int64_t expectedSize, ProgressTracker& tracker, std::stop_token stop) const {
    for (int attempt = 1;; ++attempt) {
        try {
            downloadOnce(url, destination, resourceType, expectedSize, stop);
            tracker.update(resourceType, expectedSize);
            return;
        } catch (const std::exception& e) {
            platform::log::print("下载 " + resourceType + " 失败，尝试次数: " + std::to_string(attempt) + "/" +
                                 std::to_string(maxRetryCount_) + ", 错误: " + e.what());
            if (attempt >= maxRetryCount_) throw;
        }
        waitOrThrow(retryDelay_, stop);
    }
}

void Downloader::downloadOnce(const std::string& url, const fs::path& destination, const std::string& resourceType,
                              std::int64_t expectedSize, std::stop_token stop) const {
    std::error_code ec;
    if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) fs::remove(destination);

    // Stop a body that runs past the announced size instead of storing all of it.
    const auto result =
        URLSession::download(URLRequest{url, {}, kSessionTimeout}, stop, static_cast<std::uint64_t>(expectedSize));
    RemoveUnlessKept downloaded{result.location};
    // An error page is no archive, whatever its size.
    if (!result.response.isSuccess()) throw DownloadError::invalidResponse();
    if (result.exceededLimit)
        throw DownloadError::fileSizeMismatch(expectedSize, static_cast<std::int64_t>(result.bytesReceived),
                                              resourceType);

    const auto size = fs::file_size(result.location);
    const auto actual = size > static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max())
                            ? std::numeric_limits<std::int64_t>::max()
                            : static_cast<std::int64_t>(size);
    if (actual != expectedSize) throw DownloadError::fileSizeMismatch(expectedSize, actual, resourceType);

    moveFile(result.location, destination);
    downloaded.path.clear();
}

} // namespace character_loader

} // namespace MivoKit
