#pragma once
// The archive module: extracts and creates ZIP archives through minizip.
//
// Every operation is synchronous on the calling thread; callbacks run on that thread between
// entries. Extraction never writes outside its destination: entry names are split into
// components, "." and empty components are dropped, and ".." or a NUL byte fails the call.
//
// unzipFile, zipFiles and zipData each make a platform::progress::Progress counting bytes (the
// archive's size when extracting, the bytes to archive when creating), which joins the calling
// thread's current progress when there is one: an application that makes its own progress current
// around a call sees it advance as entries are written and reach the call's share when it returns.

#include "kit/model/typed_error.hpp"
#include "kit/zip/archive_file.hpp"
#include "kit/zip/zip_compression.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

enum class ZipErrorCode { fileNotFound, unzipFail, zipFail };
using ZipError = TypedError<ZipErrorCode>;

// "File not found." / "Failed to unzip file." / "Failed to zip file."
std::string description(ZipErrorCode code);
ZipError makeZipError(ZipErrorCode code);

class Zip {
public:
    using ProgressHandler = std::function<void(double)>;
    using FileOutputHandler = std::function<void(const std::filesystem::path&)>;
    // The bytes that may still be written on the file system holding the given existing path.
    using AvailableSpaceQuery = std::function<std::uintmax_t(const std::filesystem::path&)>;

    // Extracts every entry of the archive below `destination` (created when missing).
    // With `overwrite` false, files that already exist are left alone and skipped. A password that
    // is not pure ASCII is ignored. `progress` receives the share of the archive's bytes handled so
    // far after each entry written, then 1.0; `fileOutputHandler` receives each written target as
    // its percent-encoded path text.
    // An archive whose recorded uncompressed sizes add up to more than `availableSpace` reports for
    // the destination (or its nearest existing parent) is refused before anything is written; by
    // default that is std::filesystem::space's `available`. An entry whose data runs past its
    // recorded size fails without writing more than that size.
    // Throws ZipError, or std::filesystem::filesystem_error when the archive's attributes cannot be
    // read. Entries extracted before a failure stay on disk; the file of the entry that failed is
    // removed.
    static void unzipFile(const std::filesystem::path& zipFilePath, const std::filesystem::path& destination,
                          bool overwrite, const std::optional<std::string>& password,
                          ProgressHandler progress = {}, FileOutputHandler fileOutputHandler = {},
                          AvailableSpaceQuery availableSpace = {});

    // Extracts into Documents/<archive name without its extension> (overwriting) and returns that
    // directory. Every failure is ZipErrorCode::unzipFail.
    static std::filesystem::path quickUnzipFile(const std::filesystem::path& zipFilePath,
                                                ProgressHandler progress = {});

    // Writes a new archive of the given files; a directory contributes every file below it, named
    // "<directory name>/<relative path>". Throws ZipErrorCode::zipFail; a failed archive is removed
    // and a file that was at `zipFilePath` before is left as it was.
    static void zipFiles(const std::vector<std::filesystem::path>& paths, const std::filesystem::path& zipFilePath,
                         const std::optional<std::string>& password, ZipCompression compression,
                         ProgressHandler progress = {});

    // Writes a new archive of in-memory blocks; empty blocks give no entry. Throws
    // ZipErrorCode::zipFail like zipFiles.
    static void zipData(const std::vector<ArchiveFile>& archiveFiles, const std::filesystem::path& zipFilePath,
                        const std::optional<std::string>& password, ZipCompression compression,
                        ProgressHandler progress = {});

    // Archives `paths` as Documents/<fileName>.zip with default compression and returns its path.
    static std::filesystem::path quickZipFiles(const std::vector<std::filesystem::path>& paths,
                                               const std::string& fileName, ProgressHandler progress = {});

    // Extensions (without the dot) accepted besides the built-in "zip" and "cbz"; compared exactly.
    static void addCustomFileExtension(const std::string& fileExtension);
    static void removeCustomFileExtension(const std::string& fileExtension);
    static bool isValidFileExtension(const std::string& fileExtension);
};

} // namespace MivoKit
