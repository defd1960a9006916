#pragma once
// Reads an encrypted entry of an archive: minizip delivers the raw bytes, this class decrypts them
// with the traditional cipher, inflates them and keeps the CRC-32 of what it returns.

#include "kit/zip/traditional_cipher.hpp"

#include <unzip.h>
#include <zlib.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace zipdetail {

class EncryptedEntryReader {
public:
    // Opens the archive's current entry raw and reads its encryption header. Check passwordAccepted()
    // before reading; the caller closes the entry with unzCloseCurrentFile.
    EncryptedEntryReader(unzFile archive, const unz_file_info64& info, std::string_view password);
    ~EncryptedEntryReader();
    EncryptedEntryReader(const EncryptedEntryReader&) = delete;
    EncryptedEntryReader& operator=(const EncryptedEntryReader&) = delete;

    // False when the entry could not be opened, uses a method other than stored or deflated, or the
    // header's check byte shows a wrong password.
    bool passwordAccepted() const { return accepted_; }

    // Like unzReadCurrentFile: the number of bytes placed in `out`, 0 at the end, negative on error.
    int read(char* out, unsigned size);

    // True when all data was read and its CRC-32 is the one the archive records.
    bool complete() const;

private:
    int readRaw(unsigned char* out, unsigned size);

    unzFile archive_;
    TraditionalCipher cipher_;
    std::uint32_t expectedCrc_;
    int method_ = -1;
    bool accepted_ = false;
    bool inflating_ = false;
    bool inputEnded_ = false;
    bool ended_ = false;
    uLong crc_ = 0;
    z_stream stream_{};
    std::vector<unsigned char> input_;
};

} // namespace zipdetail
