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

inline float halfToFloat(std::uint16_t half) {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1fu;
    const std::uint32_t mantissa = half & 0x3ffu;
    if (exponent == 0x1fu) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
    if (exponent == 0) {
        // Subnormal or zero: mantissa * 2^-24, exact in single precision.
        const float magnitude = static_cast<float>(mantissa) * 5.9604644775390625e-8f;
        return sign ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

} // namespace platform::gpu

} // namespace MivoKit
