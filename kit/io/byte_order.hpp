#pragma once
// Fixed-width numbers out of raw bytes whose byte order is given by the file, not by the machine.
//
// Every read states the order of the stored bytes as `bigEndian` (true: most significant byte
// first); bytes are reversed only when that differs from the host's own order. Two sources:
// - raw memory (a pointer and a byte offset): no length, the caller guarantees the bytes exist;
//   values may sit at any offset (unaligned reads);
// - a byte container (a span): never read past its end, missing bytes count as zero bytes.
// Floating-point values are rebuilt from their bit patterns: no numeric conversion happens, so a
// NaN keeps its payload and a negative zero its sign.
//
// `bigEndian` only accepts a real bool, so that an offset can never slip into its place.

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace MivoKit {

namespace byte_order {

// True when the machine stores the most significant byte first; fixed for the process.
inline bool hostIsBigEndian() {
    static const bool big = std::endian::native == std::endian::big;
    return big;
}

template <class T>
concept EndianConvertible = std::integral<T> && !std::same_as<T, bool> &&
                            (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

template <class T>
concept BitPatternRepresentible = std::same_as<T, float> || std::same_as<T, double>;

template <class T>
concept Scalar = EndianConvertible<T> || BitPatternRepresentible<T>;

// The unsigned integer holding a floating-point value's IEEE 754 bits.
template <BitPatternRepresentible T>
using BitPattern = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <Scalar T>
inline constexpr std::size_t byteWidth = sizeof(T);

template <EndianConvertible T>
constexpr T byteSwapped(T value) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(value);
    if constexpr (sizeof(T) == 1) return value;
    else if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(u));
    else if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(u));
    else return static_cast<T>(__builtin_bswap64(u));
}

template <BitPatternRepresentible T>
constexpr BitPattern<T> bitPattern(T value) {
    return std::bit_cast<BitPattern<T>>(value);
}

template <BitPatternRepresentible T>
constexpr T fromBitPattern(BitPattern<T> bits) {
    return std::bit_cast<T>(bits);
}

namespace detail {

template <Scalar T>
T swapped(T value) {
    if constexpr (EndianConvertible<T>) return byteSwapped(value);
    else return fromBitPattern<T>(byteSwapped(bitPattern(value)));
}

template <Scalar T>
T fromBytes(const unsigned char* bytes, bool bigEndian) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return bigEndian == hostIsBigEndian() ? value : swapped(value);
}

template <Scalar T>
void swapAll(std::span<T> values, bool bigEndian) {
    if (sizeof(T) == 1 || bigEndian == hostIsBigEndian()) return;
    for (T& v : values) v = swapped(v);
}

} // namespace detail

// ---- raw memory ----

// The value stored in the byteWidth<T> bytes that start `offset` bytes after `pointer`.
template <Scalar T>
T read(const void* pointer, std::size_t offset, std::same_as<bool> auto bigEndian) {
    return detail::fromBytes<T>(static_cast<const unsigned char*>(pointer) + offset, bigEndian);
}

template <Scalar T>
T read(const void* pointer, std::same_as<bool> auto bigEndian) {
    return read<T>(pointer, 0, bigEndian);
}

// Fills `out` with the values stored one after another from `offset` on; allocates nothing.
template <Scalar T>
void readArray(const void* pointer, std::size_t offset, std::span<T> out, std::same_as<bool> auto bigEndian) {
    if (out.empty()) return;
    std::memcpy(out.data(), static_cast<const unsigned char*>(pointer) + offset, out.size_bytes());
    detail::swapAll(out, bigEndian);
}

template <Scalar T>
std::vector<T> readArray(const void* pointer, std::size_t offset, std::size_t count,
                         std::same_as<bool> auto bigEndian) {
    std::vector<T> values(count);
    readArray<T>(pointer, offset, std::span<T>(values), bigEndian);
    return values;
}

template <Scalar T>
std::vector<T> readArray(const void* pointer, std::size_t count, std::same_as<bool> auto bigEndian) {
    return readArray<T>(pointer, 0, count, bigEndian);
}

// ---- byte container ----
// `index` must lie within `data` or at its end; bytes past the end read as zero.

template <Scalar T>
T read(std::span<const std::uint8_t> data, std::size_t index, std::same_as<bool> auto bigEndian) {
    unsigned char bytes[sizeof(T)] = {};
    if (index < data.size()) std::memcpy(bytes, data.data() + index, std::min(sizeof(T), data.size() - index));
    return detail::fromBytes<T>(bytes, bigEndian);
}

template <Scalar T>
T read(std::span<const std::uint8_t> data, std::same_as<bool> auto bigEndian) {
    return read<T>(data, 0, bigEndian);
}

// Fills `out` from `index` on; allocates nothing.
template <Scalar T>
void readArray(std::span<const std::uint8_t> data, std::size_t index, std::span<T> out,
               std::same_as<bool> auto bigEndian) {
    if (out.empty()) return;
    std::size_t available = index < data.size() ? data.size() - index : 0;
    std::size_t copied = std::min(out.size_bytes(), available);
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    if (copied > 0) std::memcpy(target, data.data() + index, copied);
    std::memset(target + copied, 0, out.size_bytes() - copied);
    detail::swapAll(out, bigEndian);
}

template <Scalar T>
std::vector<T> readArray(std::span<const std::uint8_t> data, std::size_t index, std::size_t count,
                         std::same_as<bool> auto bigEndian) {
    std::vector<T> values(count);
    readArray<T>(data, index, std::span<T>(values), bigEndian);
    return values;
}

template <Scalar T>
std::vector<T> readArray(std::span<const std::uint8_t> data, std::size_t count, std::same_as<bool> auto bigEndian) {
    return readArray<T>(data, 0, count, bigEndian);
}

} // namespace byte_order

} // namespace MivoKit
