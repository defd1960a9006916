#include "kit/zip/archive_writer.hpp"

#include "kit/zip/file_descriptor.hpp"
#include "kit/zip/text_encoding.hpp"
#include "kit/zip/zip.hpp"

#include <fcntl.h>
#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <random>

namespace MivoKit {

namespace fs = std::filesystem;

namespace zipdetail {
namespace {

[[noreturn]] void fail() { throw makeZipError(ZipErrorCode::zipFail); }

constexpr int kMemoryLevel = 8;
constexpr uLong kVersionMadeByFAT = 0; // what zipOpenNewFileInZip3 writes
constexpr uLong kVersionMadeByNTFS = (11 << 8) | 20;
constexpr uLong kEncryptedFlag = 0x1;
constexpr uLong kUTF8NameFlag = 0x800;

// Claims a fresh name beside `archivePath` (created with the usual 0666-less-umask permissions).
fs::path createTemporarySibling(const fs::path& archivePath) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
        fs::path candidate = archivePath;
        candidate += suffix;
        FileDescriptor fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd) return candidate;
        if (errno != EEXIST) break;
    }
    fail();
}

zip_fileinfo entryInfo(std::optional<std::chrono::system_clock::time_point> modified) {
    zip_fileinfo info{};
    if (!modified) return info;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(*modified);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return info;
    info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    return info;
}

} // namespace

ArchiveWriter::ArchiveWriter(const fs::path& archivePath, std::optional<std::string> password,
                             ZipCompression compression)
    : archivePath_(archivePath), password_(std::move(password)), level_(deflateLevel(compression)) {
    temporaryPath_ = createTemporarySibling(archivePath_);
    handle_ = zipOpen(temporaryPath_.c_str(), APPEND_STATUS_CREATE);
    if (handle_ == nullptr) {
        std::error_code ignored;
        fs::remove(temporaryPath_, ignored);
        fail();
    }
}

ArchiveWriter::~ArchiveWriter() {
    if (handle_ == nullptr) return;
    zipClose(handle_, nullptr);
    std::error_code ignored;
    fs::remove(temporaryPath_, ignored);
}

void ArchiveWriter::beginEntry(const std::string& name, std::optional<std::chrono::system_clock::time_point> modified,
                               std::uint32_t crc) {
    // minizip takes the name as a C string: a NUL would silently cut it (two names could become
    // one), and an empty name gives an entry no extractor accepts.
    if (name.empty() || name.find('\0') != std::string::npos) fail();
    const zip_fileinfo info = entryInfo(modified);
    // Names are UTF-8. For a name beyond ASCII, flag bit 11 says so, and the entry claims an NTFS
    // origin: Info-ZIP's unzip reads names from FAT origins as code page 437 even with the flag.
    const bool utf8Name = !isASCII(name);
    const uLong flags = (utf8Name ? kUTF8NameFlag : 0) | (password_ ? kEncryptedFlag : 0);
    // With a password the entry is raw: its bytes come from EncryptedEntryWriter.
    const int result = zipOpenNewFileInZip4(handle_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                            level_, password_ ? 1 : 0, -MAX_WBITS, kMemoryLevel, Z_DEFAULT_STRATEGY,
                                            nullptr, 0, utf8Name ? kVersionMadeByNTFS : kVersionMadeByFAT, flags);
    if (result != ZIP_OK) fail();
    if (password_) {
        encryptedEntry_ = std::make_unique<EncryptedEntryWriter>(handle_, *password_, level_, crc);
        if (!encryptedEntry_->begin()) fail();
    }
}

void ArchiveWriter::write(const void* bytes, std::size_t count) {
    if (count > kMaxEntrySize) fail();
    const bool written = encryptedEntry_ ? encryptedEntry_->write(bytes, count)
                                         : zipWriteInFileInZip(handle_, bytes, static_cast<unsigned>(count)) == ZIP_OK;
    if (!written) fail();
}

void ArchiveWriter::endEntry() {
    if (encryptedEntry_) {
        const bool finished = encryptedEntry_->finish();
        encryptedEntry_.reset();
        if (!finished) fail();
        return;
    }
    if (zipCloseFileInZip(handle_) != ZIP_OK) fail();
}

void ArchiveWriter::finish() {
    const int result = zipClose(handle_, nullptr);
    handle_ = nullptr;
    std::error_code error;
    if (result == ZIP_OK) fs::rename(temporaryPath_, archivePath_, error);
    if (result != ZIP_OK || error) {
        std::error_code ignored;
        fs::remove(temporaryPath_, ignored);
        fail();
    }
}

} // namespace zipdetail

} // namespace MivoKit
