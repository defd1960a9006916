#include "kit/zip/entry_reader.hpp"

#include <array>

namespace MivoKit {

namespace zipdetail {
namespace {

constexpr std::size_t kInputBufferSize = 16384;

} // namespace

EntryReader::EntryReader(unzFile archive, const unz_file_info64& info, std::optional<std::string_view> password)
    : archive_(archive), expectedCrc_(static_cast<std::uint32_t>(info.crc)), expectedSize_(info.uncompressed_size) {
    int level = 0;
    if (unzOpenCurrentFile2(archive_, &method_, &level, 1) != UNZ_OK) return;
    if (method_ != 0 && method_ != Z_DEFLATED) return;

    if (password) {
        cipher_.emplace(*password);
        std::array<unsigned char, kEncryptionHeaderSize> header{};
        if (readRaw(header.data(), static_cast<unsigned>(header.size())) != static_cast<int>(header.size())) return;
        if (header.back() != encryptionCheckByte(info.flag, expectedCrc_, info.dosDate)) return;
    }

    // No data at all is an empty entry whatever its method: there is no deflate stream to end.
    if (info.compressed_size == 0) ended_ = true;
    if (method_ == Z_DEFLATED && !ended_) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) return;
        inflating_ = true;
        input_.resize(kInputBufferSize);
    }
    crc_ = crc32(0L, Z_NULL, 0);
    opened_ = true;
}

EntryReader::~EntryReader() {
    if (inflating_) inflateEnd(&stream_);
}

// Reads raw bytes, decrypted when there is a cipher, until `size` are there or the entry's data ends.
int EntryReader::readRaw(unsigned char* out, unsigned size) {
    unsigned filled = 0;
    while (filled < size) {
        const int count = unzReadCurrentFile(archive_, out + filled, size - filled);
        if (count < 0) return count;
        if (count == 0) break;
        filled += static_cast<unsigned>(count);
    }
    if (cipher_) cipher_->decrypt(out, filled);
    return static_cast<int>(filled);
}

int EntryReader::read(char* out, unsigned size) {
    if (!opened_ || failed_) return UNZ_PARAMERROR;
    if (ended_ || size == 0) return 0;

    auto* bytes = reinterpret_cast<unsigned char*>(out);
    const int count = decode(bytes, size);
    if (count <= 0) {
        failed_ = count < 0;
        return count;
    }
    // Data running past the recorded size stops here: an archive that understates its sizes gets
    // one read inflated beyond them, and none of it is handed out to be written.
    if (static_cast<std::uint64_t>(count) > expectedSize_ - produced_) {
        failed_ = true;
        return Z_DATA_ERROR;
    }
    produced_ += static_cast<std::uint64_t>(count);
    crc_ = crc32(crc_, bytes, static_cast<uInt>(count));
    return count;
}

// The next decoded bytes, at most `size` (which is not 0).
int EntryReader::decode(unsigned char* bytes, unsigned size) {
    if (!inflating_) {
        const int count = readRaw(bytes, size);
        ended_ = count == 0;
        return count;
    }

    stream_.next_out = bytes;
    stream_.avail_out = size;
    while (stream_.avail_out == size) {
        if (stream_.avail_in == 0 && !inputEnded_) {
            const int count = readRaw(input_.data(), static_cast<unsigned>(input_.size()));
            if (count < 0) return count;
            inputEnded_ = count == 0;
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
    return static_cast<int>(size - stream_.avail_out);
}

bool EntryReader::complete() const {
    return opened_ && !failed_ && ended_ && produced_ == expectedSize_ &&
           static_cast<std::uint32_t>(crc_) == expectedCrc_;
}

} // namespace zipdetail

} // namespace MivoKit
