#pragma once
// Reads the data of an archive entry: minizip delivers the raw bytes, this class decrypts them with
// the traditional cipher when asked to, inflates them and keeps the CRC-32 of what it returns.
//
// The entry's data is decoded here rather than by minizip so that data running past the size the
// archive records can be seen, and is never handed out: minizip would quietly stop at that size.

#include "kit/zip/traditional_cipher.hpp"

#include <unzip.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace zipdetail {

class EntryReader {
public:
    // Opens the archive's current entry raw. With a password, the entry is taken as encrypted and
    // its encryption header is read. Check opened() before reading; the caller closes the entry with
    // unzCloseCurrentFile.
    EntryReader(unzFile archive, const unz_file_info64& info, std::optional<std::string_view> password);
    ~EntryReader();
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;

    // False when the entry could not be opened, uses a method other than stored or deflated, or the
    // encryption header's check byte shows a wrong password.
    bool opened() const { return opened_; }

    // Like unzReadCurrentFile: the number of bytes placed in `out`, 0 at the end, negative on error.
    // Data beyond the entry's recorded uncompressed size is an error: nothing past that size is
    // ever returned.
    int read(char* out, unsigned size);

    // True when all data was read, it has the recorded size and its CRC-32 is the recorded one.
    bool complete() const;

private:
    int readRaw(unsigned char* out, unsigned size);
    int decode(unsigned char* out, unsigned size);

    unzFile archive_;
    std::optional<TraditionalCipher> cipher_;
    std::uint32_t expectedCrc_;
    std::uint64_t expectedSize_;
    std::uint64_t produced_ = 0;
    int method_ = -1;
    bool opened_ = false;
    bool inflating_ = false;
    bool inputEnded_ = false;
    bool ended_ = false;
    bool failed_ = false;
    uLong crc_ = 0;
    z_stream stream_{};
    std::vector<unsigned char> input_;
};

} // namespace zipdetail

} // namespace MivoKit
