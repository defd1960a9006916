#include "kit/zip/encrypted_entry_writer.hpp"

#include <array>
#include <random>

namespace MivoKit {

namespace zipdetail {
namespace {

constexpr std::size_t kOutputBufferSize = 16384;

} // namespace

EncryptedEntryWriter::EncryptedEntryWriter(zipFile archive, std::string_view password, int level, std::uint32_t crc)
    : archive_(archive), cipher_(password), expectedCrc_(crc), crc_(crc32(0L, Z_NULL, 0)),
      output_(kOutputBufferSize) {
    deflating_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

EncryptedEntryWriter::~EncryptedEntryWriter() {
    if (deflating_) deflateEnd(&stream_);
}

bool EncryptedEntryWriter::begin() {
    if (!deflating_) return false;
    std::array<unsigned char, kEncryptionHeaderSize> header{};
    std::random_device random;
    for (std::size_t i = 0; i + 2 < header.size(); ++i) header[i] = static_cast<unsigned char>(random());
    header[kEncryptionHeaderSize - 2] = static_cast<unsigned char>(expectedCrc_ >> 16);
    header[kEncryptionHeaderSize - 1] = static_cast<unsigned char>(expectedCrc_ >> 24);
    return writeEncrypted(header.data(), header.size());
}

bool EncryptedEntryWriter::writeEncrypted(unsigned char* bytes, std::size_t count) {
    cipher_.encrypt(bytes, count);
    return zipWriteInFileInZip(archive_, bytes, static_cast<unsigned>(count)) == ZIP_OK;
}

bool EncryptedEntryWriter::deflateInput(int flush) {
    for (;;) {
        stream_.next_out = output_.data();
        stream_.avail_out = static_cast<uInt>(output_.size());
        const int result = deflate(&stream_, flush);
        if (result == Z_STREAM_ERROR) return false;
        const std::size_t produced = output_.size() - stream_.avail_out;
        if (produced > 0 && !writeEncrypted(output_.data(), produced)) return false;
        if (flush == Z_FINISH ? result == Z_STREAM_END : (stream_.avail_in == 0 && stream_.avail_out != 0))
            return true;
    }
}

bool EncryptedEntryWriter::write(const void* bytes, std::size_t count) {
    const auto* input = static_cast<const unsigned char*>(bytes);
    crc_ = crc32_z(crc_, input, count);
    size_ += count;
    stream_.next_in = const_cast<unsigned char*>(input);
    stream_.avail_in = static_cast<uInt>(count);
    return deflateInput(Z_NO_FLUSH);
}

bool EncryptedEntryWriter::finish() {
    if (!deflateInput(Z_FINISH)) return false;
    if (static_cast<std::uint32_t>(crc_) != expectedCrc_) return false;
    return zipCloseFileInZipRaw(archive_, static_cast<uLong>(size_), crc_) == ZIP_OK;
}

} // namespace zipdetail

} // namespace MivoKit
