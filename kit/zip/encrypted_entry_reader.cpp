#include "kit/zip/encrypted_entry_reader.hpp"

#include <array>

namespace zipdetail {
namespace {

constexpr std::size_t kInputBufferSize = 16384;

} // namespace

EncryptedEntryReader::EncryptedEntryReader(unzFile archive, const unz_file_info64& info, std::string_view password)
    : archive_(archive), cipher_(password), expectedCrc_(static_cast<std::uint32_t>(info.crc)) {
    int level = 0;
    if (unzOpenCurrentFile2(archive_, &method_, &level, 1) != UNZ_OK) return;
    if (method_ != 0 && method_ != Z_DEFLATED) return;

    std::array<unsigned char, kEncryptionHeaderSize> header{};
    if (readRaw(header.data(), static_cast<unsigned>(header.size())) != static_cast<int>(header.size())) return;
    cipher_.decrypt(header.data(), header.size());
    if (header.back() != encryptionCheckByte(info.flag, expectedCrc_, info.dosDate)) return;

    if (method_ == Z_DEFLATED) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) return;
        inflating_ = true;
        input_.resize(kInputBufferSize);
    }
    crc_ = crc32(0L, Z_NULL, 0);
    accepted_ = true;
}

EncryptedEntryReader::~EncryptedEntryReader() {
    if (inflating_) inflateEnd(&stream_);
}

// Reads raw bytes until `size` are there or the entry's data ends.
int EncryptedEntryReader::readRaw(unsigned char* out, unsigned size) {
    unsigned filled = 0;
    while (filled < size) {
        const int count = unzReadCurrentFile(archive_, out + filled, size - filled);
        if (count < 0) return count;
        if (count == 0) break;
        filled += static_cast<unsigned>(count);
    }
    return static_cast<int>(filled);
}

int EncryptedEntryReader::read(char* out, unsigned size) {
    if (!accepted_) return UNZ_PARAMERROR;
    if (ended_ || size == 0) return 0;
    auto* bytes = reinterpret_cast<unsigned char*>(out);

    if (!inflating_) {
        const int count = readRaw(bytes, size);
        if (count <= 0) {
            ended_ = count == 0;
            return count;
        }
        cipher_.decrypt(bytes, static_cast<std::size_t>(count));
        crc_ = crc32(crc_, bytes, static_cast<uInt>(count));
        return count;
    }

    stream_.next_out = bytes;
    stream_.avail_out = size;
    while (stream_.avail_out == size) {
        if (stream_.avail_in == 0 && !inputEnded_) {
            const int count = readRaw(input_.data(), static_cast<unsigned>(input_.size()));
            if (count < 0) return count;
            inputEnded_ = count == 0;
            cipher_.decrypt(input_.data(), static_cast<std::size_t>(count));
            stream_.next_in = input_.data();
            stream_.avail_in = static_cast<uInt>(count);
        }
        const int result = inflate(&stream_, Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            ended_ = true;
            break;
        }
        if (result != Z_OK && !(result == Z_BUF_ERROR && !inputEnded_)) return Z_DATA_ERROR;
        if (inputEnded_ && stream_.avail_in == 0 && stream_.avail_out == size) return Z_DATA_ERROR; // truncated
    }
    const unsigned produced = size - stream_.avail_out;
    crc_ = crc32(crc_, bytes, produced);
    return static_cast<int>(produced);
}

bool EncryptedEntryReader::complete() const {
    return accepted_ && ended_ && static_cast<std::uint32_t>(crc_) == expectedCrc_;
}

} // namespace zipdetail
