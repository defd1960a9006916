#pragma once
// Writes the data of an encrypted entry: deflates (or stores) it, encrypts it with the traditional
// cipher behind a header that carries the CRC-32's check bytes, and hands the raw bytes to minizip.

#include "kit/zip/traditional_cipher.hpp"

#include <zip.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace zipdetail {

class EncryptedEntryWriter {
public:
    // The entry must have been opened raw in `archive`. `crc` is the CRC-32 of all the data to come.
    // Returns false from any call when deflate or minizip fails.
    EncryptedEntryWriter(zipFile archive, std::string_view password, int level, std::uint32_t crc);
    ~EncryptedEntryWriter();
    EncryptedEntryWriter(const EncryptedEntryWriter&) = delete;
    EncryptedEntryWriter& operator=(const EncryptedEntryWriter&) = delete;

    bool begin();
    bool write(const void* bytes, std::size_t count);
    // Flushes the data and closes the raw entry with its size and CRC; false as well when the data
    // written does not have the CRC given at the start (the file changed in between).
    bool finish();

private:
    bool deflateInput(int flush);
    bool writeEncrypted(unsigned char* bytes, std::size_t count);

    zipFile archive_;
    TraditionalCipher cipher_;
    std::uint32_t expectedCrc_;
    uLong crc_;
    std::uint64_t size_ = 0;
    bool deflating_ = false;
    z_stream stream_{};
    std::vector<unsigned char> output_;
};

} // namespace zipdetail

} // namespace MivoKit
