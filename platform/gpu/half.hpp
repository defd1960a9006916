#pragma once
// IEEE 754 binary16 conversions, bit-exact and independent of the CPU's half-precision support.
// Float to half rounds to nearest, ties to even; values of magnitude 65520 or more become
// infinities; NaNs stay quiet NaNs with their sign and top payload bits.

#include <bit>
#include <cstdint>

namespace MivoKit {

namespace platform::gpu {

inline std::uint16_t floatToHalf(float value) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (bits >> 16) & 0x8000u;
    bits &= 0x7fffffffu;
    std::uint32_t half;
    if (bits >= 0x47800000u) { // 2^16 and above, infinities and NaNs
        if (bits > 0x7f800000u) half = 0x7e00u | ((bits >> 13) & 0x3ffu);
        else half = 0x7c00u;
    } else if (bits < 0x38800000u) { // below 2^-14: subnormal half or zero
        // Adding 0.5 lines the ten mantissa bits up at the bottom of the float; the FPU's
        // round-to-nearest-even does the rounding.
        const float aligned = std::bit_cast<float>(bits) + 0.5f;
        half = std::bit_cast<std::uint32_t>(aligned) - 0x3f000000u;
    } else {
        const std::uint32_t mantissaOdd = (bits >> 13) & 1u;
        bits += 0xc8000fffu + mantissaOdd; // rebias the exponent (-112) and round
        half = bits >> 13;                 // a carry out of 65504 lands exactly on infinity
    }
    return static_cast<std::uint16_t>(half | sign);
}

// Without branches: subnormal halves are common in small splats' covariances, and the conversion
// runs for every splat of every frame.
inline float halfToFloat(std::uint16_t half) {
    const std::uint32_t magnitude = half & 0x7fffu;
    // A normal half's bits moved up into a float's place, with the exponent rebiased (+112); for
    // infinities and NaNs (exponent 31) the exponent bits are then all set.
    std::uint32_t bits = (magnitude << 13) + (112u << 23);
    bits |= magnitude >= 0x7c00u ? 0x7f800000u : 0u;
    // Subnormal or zero: mantissa * 2^-24, exact in single precision (and no subnormal float is
    // involved, whatever the thread's denormal mode).
    const std::uint32_t subnormal = std::bit_cast<std::uint32_t>(static_cast<float>(magnitude) * 5.9604644775390625e-8f);
    bits = magnitude < 0x400u ? subnormal : bits;
    return std::bit_cast<float>(bits | static_cast<std::uint32_t>(half & 0x8000u) << 16);
}

} // namespace platform::gpu

} // namespace MivoKit
