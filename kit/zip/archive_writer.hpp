#pragma once
// A new ZIP archive written through minizip, entry by entry.
//
// The archive is written to a temporary file beside its final path and moved there by finish().
// Dropped before that, it is closed and removed: a failed call leaves no half-written archive and
// does not touch a file that was at the path before. Every minizip result is checked; a failure
// throws ZipErrorCode::zipFail.

#include "kit/zip/encrypted_entry_writer.hpp"
#include "kit/zip/zip_compression.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace MivoKit {

namespace zipdetail {

// Entries are written without ZIP64 records, so an entry must stay below 4 GiB; 0xFFFFFFFF itself
// would read as "see the ZIP64 record" to other tools.
inline constexpr std::uint64_t kMaxEntrySize = 0xFFFFFFFEull;

class ArchiveWriter {
public:
    ArchiveWriter(const std::filesystem::path& archivePath, std::optional<std::string> password,
                  ZipCompression compression);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    bool hasPassword() const { return password_.has_value(); }

    // Starts an entry dated `modified` (in local time; no date gives zero fields). With a password,
    // `crc` must be the CRC-32 of the entry's data: the encryption header's check bytes come from it,
    // and the entry is encrypted here (see traditional_cipher.hpp).
    void beginEntry(const std::string& name, std::optional<std::chrono::system_clock::time_point> modified,
                    std::uint32_t crc);
    void write(const void* bytes, std::size_t count);
    void endEntry();
    // Closes the archive and moves it to its path.
    void finish();

private:
    std::filesystem::path archivePath_;
    std::filesystem::path temporaryPath_;
    std::optional<std::string> password_;
    int level_;
    zipFile handle_ = nullptr;
    std::unique_ptr<EncryptedEntryWriter> encryptedEntry_; // the open entry, with a password
};

} // namespace zipdetail

} // namespace MivoKit
