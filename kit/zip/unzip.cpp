// Extraction: Zip::unzipFile and Zip::quickUnzipFile.

#include "kit/zip/directory_below.hpp"
#include "kit/zip/entry_name.hpp"
#include "kit/zip/entry_reader.hpp"
#include "kit/zip/size_total.hpp"
#include "kit/zip/text_encoding.hpp"
#include "kit/zip/zip.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"
#include "platform/progress/progress.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <array>
#include <cerrno>
#include <memory>
#include <type_traits>

namespace MivoKit {

namespace fs = std::filesystem;
using namespace zipdetail;

namespace {

constexpr std::size_t kEntryCopyBufferSize = 4096;
constexpr unsigned long kEncryptedFlag = 0x1;

struct UnzCloser {
    void operator()(std::remove_pointer_t<unzFile> * handle) const { unzClose(handle); }
};
using UnzipHandle = std::unique_ptr<std::remove_pointer_t<unzFile>, UnzCloser>;

[[noreturn]] void failUnzipping() { throw makeZipError(ZipErrorCode::unzipFail); }

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// The archive's size in bytes; the error of stat passes on as a filesystem_error.
double archiveSize(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw fs::filesystem_error("cannot read archive attributes", path, lastError());
    return static_cast<double>(st.st_size);
}

// Writes all `count` bytes, resuming after partial writes.
bool writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// The sum of the uncompressed sizes the archive records for its entries, from the first one on;
// nullopt when it does not fit in 64 bits. Leaves the archive at its first entry. Summing stops at
// an entry that cannot be read: extraction fails there and never reaches those after it. A central
// directory that breaks off before its end is a damaged archive, refused here.
std::optional<std::uint64_t> declaredTotalSize(unzFile archive) {
    SizeTotal total;
    int moved = unzGoToFirstFile(archive);
    for (; moved == UNZ_OK; moved = unzGoToNextFile(archive)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
        total.add(info.uncompressed_size);
    }
    if (moved != UNZ_OK && moved != UNZ_END_OF_LIST_OF_FILE) failUnzipping();
    if (unzGoToFirstFile(archive) != UNZ_OK) failUnzipping();
    return total.value();
}

// The destination, or when it does not exist yet its nearest existing parent: where its file system
// can be asked about.
fs::path nearestExisting(const fs::path& destination) {
    std::error_code ec;
    fs::path path = fs::absolute(destination, ec);
    if (ec) path = destination;
    while (!fs::exists(path, ec) && path.has_relative_path()) path = path.parent_path();
    return path;
}

// What an unprivileged process may still write on the file system holding `path`; the largest value
// when that cannot be told (fs::space reports it so), which leaves the decision to the writes.
std::uintmax_t fileSystemAvailableSpace(const fs::path& path) {
    std::error_code ec;
    return fs::space(path, ec).available;
}

// The file an entry is being written to, removed again unless kept: a failed entry leaves no partial
// file. It is removed only while its name still refers to the file that was opened.
class PartialFile {
public:
    PartialFile(int directory, std::string name, int fd) : directory_(directory), name_(std::move(name)) {
        ::fstat(fd, &opened_);
    }
    ~PartialFile() {
        if (kept_) return;
        struct stat current {};
        if (::fstatat(directory_, name_.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) return;
        if (current.st_dev != opened_.st_dev || current.st_ino != opened_.st_ino) return;
        ::unlinkat(directory_, name_.c_str(), 0);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void keep() { kept_ = true; }

private:
    int directory_;
    std::string name_;
    struct stat opened_ {};
    bool kept_ = false;
};

// One extraction call: walks the entries of an open archive and writes them below the destination.
class Extraction {
public:
    Extraction(unzFile archive, const fs::path& destination, bool overwrite, std::optional<std::string> password)
        : archive_(archive), destination_(destination), overwrite_(overwrite), password_(std::move(password)) {}

    // Extracts the current entry and returns its target path; nullopt when the overwrite rule
    // skipped it (the entry is closed then).
    std::optional<fs::path> extractCurrentEntry(double& compressedTotal) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(archive_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) failUnzipping();
        openEntry(info);
        std::string storedName(info.size_filename + 1, '\0');
        unzGetCurrentFileInfo64(archive_, nullptr, storedName.data(), info.size_filename + 1, nullptr, 0, nullptr, 0);
        storedName.resize(info.size_filename);
        if (storedName.empty()) failUnzipping();

        const bool isDirectory = isDirectoryEntryName(storedName);
        const auto components = entryNameComponents(decodeUTF8Lossy(storedName));
        if (!components || (!isDirectory && components->empty())) failUnzipping();
        fs::path target = destination_;
        for (const std::string& component : *components) target /= component;

        // The directory itself, or the file's parent. A directory that cannot be made is not an
        // error by itself: a file in it then fails to open.
        const std::span<const std::string> directoryComponents(
            components->data(), isDirectory ? components->size() : components->size() - 1);
        DirectoryBelow directory = openDirectoryBelow(destination_, directoryComponents);
        if (directory.blockedByLink) failUnzipping();

        FileDescriptor file;
        std::optional<PartialFile> partial;
        std::uint64_t written = 0;
        if (!isDirectory) {
            if (!directory.fd) failUnzipping();
            const char* name = components->back().c_str();
            struct stat existing {};
            if (!overwrite_ && ::fstatat(directory.fd.get(), name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
                closeEntry();
                return std::nullopt;
            }
            compressedTotal += static_cast<double>(info.compressed_size);
            file = openTargetFile(directory.fd.get(), name);
            partial.emplace(directory.fd.get(), name, file.get());
            written = copyEntryData(file.get());
        } else {
            compressedTotal += static_cast<double>(info.compressed_size);
            written = copyEntryData(-1);
        }

        if (!closeEntry()) failUnzipping();
        if (written != info.uncompressed_size) failUnzipping();

        const int modeHolder = isDirectory ? directory.fd.get() : file.get();
        setPermissions(modeHolder, info.external_fa, target, directory.error);
        if (file.close() != 0) failUnzipping();
        if (partial) partial->keep();
        return target;
    }

private:
    // Opens the current entry's data. Encrypted entries are decrypted when there is a password
    // (minizip as built cannot); with none they are read as they are and failUnzipping the CRC or size test.
    void openEntry(const unz_file_info64& info) {
        reader_.reset();
        std::optional<std::string_view> password;
        if (password_ && (info.flag & kEncryptedFlag) != 0) password = *password_;
        reader_.emplace(archive_, info, password);
        if (!reader_->opened()) failUnzipping();
    }

    // Closes the current entry; false when its data does not match the recorded size and CRC-32.
    bool closeEntry() {
        unzCloseCurrentFile(archive_);
        return reader_->complete();
    }

    // Creates or truncates the regular file `name` in `directory`; never follows a symbolic link and
    // never blocks on a FIFO planted there.
    static FileDescriptor openTargetFile(int directory, const char* name) {
        FileDescriptor file(::openat(directory, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                     0666));
        struct stat st {};
        if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) failUnzipping();
        return file;
    }

    // Copies the entry's data to `fd`; with -1 (a directory) it is only read, to be checked.
    std::uint64_t copyEntryData(int fd) {
        std::uint64_t written = 0;
        for (;;) {
            // The reader never returns data beyond the entry's recorded size.
            const int count = reader_->read(buffer_.data(), static_cast<unsigned>(buffer_.size()));
            if (count <= 0) break; // the end, or data that is damaged or too long: caught by the CRC or size test
            if (fd >= 0 && !writeAll(fd, buffer_.data(), static_cast<std::size_t>(count))) failUnzipping();
            written += static_cast<std::uint64_t>(count);
        }
        return written;
    }

    // Applies the Unix permission bits of the entry's external attributes when they grant the owner
    // read access; file-type bits are never used.
    static void setPermissions(int fd, unsigned long externalAttributes, const fs::path& target,
                               std::error_code openError) {
        if (externalAttributes == 0) return;
        const mode_t mode = static_cast<mode_t>((externalAttributes >> 16) & 0777);
        if (mode < 0400) return;
        std::error_code error = openError ? openError : std::make_error_code(std::errc::bad_file_descriptor);
        if (fd >= 0) {
            if (::fchmod(fd, mode) == 0) return;
            error = lastError();
        }
        platform::log::print("Failed to set permissions to file " + target.string() + ", error: " + error.message());
    }

    unzFile archive_;
    const fs::path& destination_;
    bool overwrite_;
    std::optional<std::string> password_;
    std::optional<EntryReader> reader_;
    std::array<char, kEntryCopyBufferSize> buffer_{};
};

} // namespace

void Zip::unzipFile(const fs::path& zipFilePath, const fs::path& destination, bool overwrite,
                    const std::optional<std::string>& password, ProgressHandler progress,
                    FileOutputHandler fileOutputHandler, AvailableSpaceQuery availableSpace) {
    std::error_code ec;
    if (!fs::exists(zipFilePath, ec)) throw makeZipError(ZipErrorCode::fileNotFound);
    if (!isValidFileExtension(pathExtension(zipFilePath))) throw makeZipError(ZipErrorCode::fileNotFound);

    const double totalSize = archiveSize(zipFilePath);
    platform::progress::Progress fileProgress(static_cast<std::int64_t>(totalSize));

    UnzipHandle archive(unzOpen64(zipFilePath.c_str()));
    if (!archive || unzGoToFirstFile(archive.get()) != UNZ_OK) failUnzipping();

    // An archive that cannot fit is refused before anything is written, rather than filling the disk
    // on the way to a failed write. The refusal is unzipFail, as that failed write would be: it is
    // the code of every extraction that cannot complete; the others mean a missing archive or a
    // failure to create one.
    const std::optional<std::uint64_t> declaredTotal = declaredTotalSize(archive.get());
    const fs::path measured = nearestExisting(destination);
    const std::uintmax_t available = availableSpace ? availableSpace(measured) : fileSystemAvailableSpace(measured);
    if (!declaredTotal || *declaredTotal > available) failUnzipping();

    // A password that is not plain ASCII cannot be what the archive was encrypted with.
    std::optional<std::string> asciiPassword;
    if (password && isASCII(*password)) asciiPassword = password;
    Extraction extraction(archive.get(), destination, overwrite, std::move(asciiPassword));

    double compressedTotal = 0;
    int moved = UNZ_OK;
    while (moved == UNZ_OK) {
        const auto target = extraction.extractCurrentEntry(compressedTotal);
        moved = unzGoToNextFile(archive.get());
        if (!target) continue;
        if (progress && totalSize > 0) progress(compressedTotal / totalSize);
        if (fileOutputHandler) fileOutputHandler(fs::path(percentEncodeForQuery(target->string())));
        fileProgress.setCompletedUnitCount(static_cast<std::int64_t>(compressedTotal));
    }
    // Only the end of the list ends an extraction well: a damaged entry header would silently skip
    // every entry after it.
    if (moved != UNZ_END_OF_LIST_OF_FILE) failUnzipping();
    if (progress) progress(1.0);
    fileProgress.setCompletedUnitCount(fileProgress.totalUnitCount());
}

fs::path Zip::quickUnzipFile(const fs::path& zipFilePath, ProgressHandler progress) {
    std::string name = lastPathComponent(zipFilePath);
    const std::string extension = pathExtension(zipFilePath);
    if (!extension.empty()) {
        const std::string suffix = "." + extension;
        for (std::size_t at = name.find(suffix); at != std::string::npos; at = name.find(suffix, at))
            name.erase(at, suffix.size());
    }
    const fs::path destination = platform::files::documentsDirectory() / name;
    try {
        unzipFile(zipFilePath, destination, true, std::nullopt, std::move(progress));
    } catch (...) {
        throw makeZipError(ZipErrorCode::unzipFail);
    }
    return destination;
}

} // namespace MivoKit
