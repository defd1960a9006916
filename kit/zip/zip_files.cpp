// Creation: Zip::zipFiles, Zip::zipData and Zip::quickZipFiles.

#include "kit/zip/archive_writer.hpp"
#include "kit/zip/zip.hpp"
#include "kit/zip/zip_utilities.hpp"
#include "platform/files/directories.hpp"
#include "platform/progress/progress.hpp"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <new>

namespace MivoKit {

namespace fs = std::filesystem;
using namespace zipdetail;

namespace {

constexpr std::size_t kFileReadBufferSize = 16384;

[[noreturn]] void failZipping() { throw makeZipError(ZipErrorCode::zipFail); }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::chrono::system_clock::time_point modificationTime(const struct stat& st) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec) +
                                                 std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                                     std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// Reads the file to its end in `buffer`-sized pieces, handing each to `consume`. A read error ends
// with zipFail rather than passing for the end of the file; so does growing beyond an entry's limit.
template <class Consume>
void readWhole(std::FILE* file, std::vector<char>& buffer, Consume&& consume) {
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file);
        if (count > 0) {
            total += count;
            if (total > kMaxEntrySize) failZipping();
            consume(buffer.data(), count);
        }
        if (count < buffer.size()) {
            if (std::ferror(file)) failZipping();
            if (std::feof(file)) return;
        }
    }
}

// Adds one file on disk as the entry `name`; returns its size from its attributes (0 when unknown).
double addFile(ArchiveWriter& writer, const fs::path& path, const std::string& name) {
    FileHandle file(std::fopen(path.c_str(), "r"));
    if (!file) failZipping();

    std::optional<std::chrono::system_clock::time_point> modified;
    double size = 0;
    struct stat st {};
    if (::fstat(fileno(file.get()), &st) == 0) {
        modified = modificationTime(st);
        size = static_cast<double>(st.st_size);
        if (static_cast<std::uint64_t>(st.st_size) > kMaxEntrySize) failZipping();
    }

    std::vector<char> buffer;
    try {
        buffer.resize(kFileReadBufferSize);
    } catch (const std::bad_alloc&) {
        failZipping();
    }
    std::uint32_t crc = 0;
    if (writer.hasPassword()) {
        // The encryption header needs the CRC before the data: read the file once more.
        uLong running = crc32(0L, Z_NULL, 0);
        readWhole(file.get(), buffer, [&](const char* bytes, std::size_t count) {
            running = crc32_z(running, reinterpret_cast<const Bytef*>(bytes), count);
        });
        crc = static_cast<std::uint32_t>(running);
        std::rewind(file.get());
    }
    writer.beginEntry(name, modified, crc);
    readWhole(file.get(), buffer, [&](const char* bytes, std::size_t count) { writer.write(bytes, count); });
    writer.endEntry();
    return size;
}

} // namespace

void Zip::zipFiles(const std::vector<fs::path>& paths, const fs::path& zipFilePath,
                   const std::optional<std::string>& password, ZipCompression compression, ProgressHandler progress) {
    const auto records = ZipUtilities().expandPaths(paths);

    double totalSize = 0;
    for (const auto& record : records) {
        struct stat st {};
        if (::stat(record.filePathURL.c_str(), &st) == 0) totalSize += static_cast<double>(st.st_size);
    }
    platform::progress::Progress fileProgress(static_cast<std::int64_t>(totalSize));

    ArchiveWriter writer(zipFilePath, password, compression);
    double processedSize = 0;
    for (const auto& record : records) {
        std::error_code ec;
        if (fs::is_directory(record.filePathURL, ec)) continue;
        processedSize += addFile(writer, record.filePathURL, record.fileName.value_or(std::string()));
        // The file that completes the total is not reported here: the final call reports 1.0.
        // Nothing is reported while the total is 0 (only empty or unreadable files).
        if (progress && totalSize > 0 && processedSize / totalSize != 1.0) progress(processedSize / totalSize);
        fileProgress.setCompletedUnitCount(static_cast<std::int64_t>(processedSize));
    }
    writer.finish();

    if (progress) progress(1.0);
    fileProgress.setCompletedUnitCount(fileProgress.totalUnitCount());
}

void Zip::zipData(const std::vector<ArchiveFile>& archiveFiles, const fs::path& zipFilePath,
                  const std::optional<std::string>& password, ZipCompression compression, ProgressHandler progress) {
    std::uint64_t totalSize = 0;
    for (const ArchiveFile& file : archiveFiles) {
        if (file.data.size() > kMaxEntrySize) failZipping();
        totalSize += file.data.size();
    }
    platform::progress::Progress fileProgress(static_cast<std::int64_t>(totalSize));

    ArchiveWriter writer(zipFilePath, password, compression);
    std::uint64_t processedSize = 0;
    for (const ArchiveFile& file : archiveFiles) {
        if (file.data.empty()) continue;
        std::uint32_t crc = 0;
        if (writer.hasPassword()) crc = static_cast<std::uint32_t>(crc32_z(0L, file.data.data(), file.data.size()));
        writer.beginEntry(file.filename, file.modifiedTime, crc);
        writer.write(file.data.data(), file.data.size());
        writer.endEntry();
        processedSize += file.data.size();
        if (progress) progress(static_cast<double>(processedSize) / static_cast<double>(totalSize));
        fileProgress.setCompletedUnitCount(static_cast<std::int64_t>(processedSize));
    }
    writer.finish();

    if (progress) progress(1.0);
    fileProgress.setCompletedUnitCount(fileProgress.totalUnitCount());
}

fs::path Zip::quickZipFiles(const std::vector<fs::path>& paths, const std::string& fileName,
                            ProgressHandler progress) {
    const fs::path documents = platform::files::documentsDirectory();
    std::error_code ignored;
    fs::create_directories(documents, ignored);
    const fs::path archive = documents / (fileName + ".zip");
    zipFiles(paths, archive, std::nullopt, ZipCompression::DefaultCompression, std::move(progress));
    return archive;
}

} // namespace MivoKit
