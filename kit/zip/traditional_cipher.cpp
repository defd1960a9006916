#include "kit/zip/traditional_cipher.hpp"

#include <zlib.h>

namespace MivoKit {

namespace zipdetail {
namespace {

std::uint32_t crc32Byte(std::uint32_t crc, unsigned char byte) {
    static const z_crc_t* table = get_crc_table();
    return table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

} // namespace

TraditionalCipher::TraditionalCipher(std::string_view password) : keys_{0x12345678u, 0x23456789u, 0x34567890u} {
    for (char c : password) updateKeys(static_cast<unsigned char>(c));
}

unsigned char TraditionalCipher::keystreamByte() const {
    const std::uint32_t temp = (keys_[2] & 0xFFFF) | 2;
    return static_cast<unsigned char>((temp * (temp ^ 1)) >> 8);
}

void TraditionalCipher::updateKeys(unsigned char plain) {
    keys_[0] = crc32Byte(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = crc32Byte(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
}

void TraditionalCipher::encrypt(unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char plain = bytes[i];
        bytes[i] = plain ^ keystreamByte();
        updateKeys(plain);
    }
}

void TraditionalCipher::decrypt(unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] ^= keystreamByte();
        updateKeys(bytes[i]);
    }
}

unsigned char encryptionCheckByte(unsigned long flag, std::uint32_t crc, unsigned long dosDate) {
    if ((flag & 0x8) != 0) return static_cast<unsigned char>((dosDate >> 8) & 0xFF);
    return static_cast<unsigned char>(crc >> 24);
}

} // namespace zipdetail

} // namespace MivoKit
