#pragma once
// The traditional PKWARE stream cipher of ZIP archives (APPNOTE section 6.1).
//
// Debian's minizip is built without decryption and encrypts with a CRC table of the wrong width on
// 64-bit machines, so archives it writes with a password are unreadable elsewhere. The module
// therefore encrypts and decrypts entries itself and hands minizip the raw entry bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace MivoKit {

namespace zipdetail {

// Every encrypted entry's data starts with this many header bytes; the last one checks the password.
inline constexpr std::size_t kEncryptionHeaderSize = 12;

class TraditionalCipher {
public:
    explicit TraditionalCipher(std::string_view password);

    void encrypt(unsigned char* bytes, std::size_t count);
    void decrypt(unsigned char* bytes, std::size_t count);

private:
    unsigned char keystreamByte() const;
    void updateKeys(unsigned char plain);

    std::array<std::uint32_t, 3> keys_;
};

// The byte that the decrypted header must end with: the high byte of the entry's CRC-32, or of its
// DOS time when the sizes and CRC follow the data (general-purpose flag bit 3).
unsigned char encryptionCheckByte(unsigned long flag, std::uint32_t crc, unsigned long dosDate);

} // namespace zipdetail

} // namespace MivoKit
