#include "platform/gpu/pixel_format.hpp"

#include "platform/gpu/half.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace MivoKit {

namespace platform::gpu {

std::size_t bytesPerPixel(PixelFormat format) {
    switch (format) {
    case PixelFormat::bgra8Unorm:
    case PixelFormat::bgra8Unorm_srgb:
    case PixelFormat::depth32Float: return 4;
    case PixelFormat::rgba16Float: return 8;
    case PixelFormat::stencil8: return 1;
    case PixelFormat::invalid: return 0;
    }
    return 0;
}

bool isColorFormat(PixelFormat format) {
    return format == PixelFormat::bgra8Unorm || format == PixelFormat::bgra8Unorm_srgb ||
           format == PixelFormat::rgba16Float;
}
bool isDepthFormat(PixelFormat format) { return format == PixelFormat::depth32Float; }
bool isStencilFormat(PixelFormat format) { return format == PixelFormat::stencil8; }

float srgbToLinear(float c) {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

float linearToSrgb(float c) {
    return c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

namespace {

// 0..1 to 0..255, rounded to nearest; NaN becomes 0.
// Clamped to [0, 1] (NaN to 0) without branches, so that a row of pixels converts in vector registers.
std::uint8_t toUnorm8(float v) {
    float c = v > 0.0f ? v : 0.0f;
    c = c < 1.0f ? c : 1.0f;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(c * 255.0f + 0.5f));
}

const std::array<float, 256>& srgbDecodeTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) t[i] = srgbToLinear(i / 255.0f);
        return t;
    }();
    return table;
}

} // namespace

void loadPixels(PixelFormat format, const std::byte* src, float* rgba, std::size_t count) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(src);
    switch (format) {
    case PixelFormat::bgra8Unorm:
        for (std::size_t i = 0; i < count; ++i, bytes += 4, rgba += 4) {
            rgba[0] = bytes[2] * (1.0f / 255.0f);
            rgba[1] = bytes[1] * (1.0f / 255.0f);
            rgba[2] = bytes[0] * (1.0f / 255.0f);
            rgba[3] = bytes[3] * (1.0f / 255.0f);
        }
        return;
    case PixelFormat::bgra8Unorm_srgb: {
        const auto& decode = srgbDecodeTable();
        for (std::size_t i = 0; i < count; ++i, bytes += 4, rgba += 4) {
            rgba[0] = decode[bytes[2]];
            rgba[1] = decode[bytes[1]];
            rgba[2] = decode[bytes[0]];
            rgba[3] = bytes[3] * (1.0f / 255.0f);
        }
        return;
    }
    case PixelFormat::rgba16Float:
        for (std::size_t i = 0; i < count * 4; ++i) {
            std::uint16_t h;
            std::memcpy(&h, bytes + 2 * i, 2);
            rgba[i] = halfToFloat(h);
        }
        return;
    case PixelFormat::depth32Float:
        for (std::size_t i = 0; i < count; ++i, rgba += 4) {
            std::memcpy(&rgba[0], bytes + 4 * i, 4);
            rgba[1] = rgba[2] = 0;
            rgba[3] = 1;
        }
        return;
    case PixelFormat::stencil8:
        for (std::size_t i = 0; i < count; ++i, rgba += 4) {
            rgba[0] = bytes[i];
            rgba[1] = rgba[2] = 0;
            rgba[3] = 1;
        }
        return;
    case PixelFormat::invalid: return;
    }
}

void storePixels(PixelFormat format, const float* rgba, std::byte* dst, std::size_t count) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(dst);
    switch (format) {
    case PixelFormat::bgra8Unorm:
#if defined(__SSE2__)
        // Four pixels at a time, with toUnorm8's arithmetic: max with 0 also turns NaN into 0.
        for (; count >= 4; count -= 4, bytes += 16, rgba += 16) {
            const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(255.0f),
                         half = _mm_set1_ps(0.5f);
            __m128i pixel[4];
            for (int p = 0; p < 4; ++p) {
                __m128 v = _mm_loadu_ps(rgba + 4 * p);
                v = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2)); // bgra
                v = _mm_min_ps(_mm_max_ps(v, zero), one);
                pixel[p] = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, scale), half));
            }
            const __m128i packed =
                _mm_packus_epi16(_mm_packs_epi32(pixel[0], pixel[1]), _mm_packs_epi32(pixel[2], pixel[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), packed);
        }
#endif
        for (std::size_t i = 0; i < count; ++i, bytes += 4, rgba += 4) {
            bytes[0] = toUnorm8(rgba[2]);
            bytes[1] = toUnorm8(rgba[1]);
            bytes[2] = toUnorm8(rgba[0]);
            bytes[3] = toUnorm8(rgba[3]);
        }
        return;
    case PixelFormat::bgra8Unorm_srgb:
        for (std::size_t i = 0; i < count; ++i, bytes += 4, rgba += 4) {
            bytes[0] = toUnorm8(linearToSrgb(std::clamp(rgba[2], 0.0f, 1.0f)));
            bytes[1] = toUnorm8(linearToSrgb(std::clamp(rgba[1], 0.0f, 1.0f)));
            bytes[2] = toUnorm8(linearToSrgb(std::clamp(rgba[0], 0.0f, 1.0f)));
            bytes[3] = toUnorm8(rgba[3]);
        }
        return;
    case PixelFormat::rgba16Float:
        for (std::size_t i = 0; i < count * 4; ++i) {
            const std::uint16_t h = floatToHalf(rgba[i]);
            std::memcpy(bytes + 2 * i, &h, 2);
        }
        return;
    case PixelFormat::depth32Float:
        for (std::size_t i = 0; i < count; ++i, rgba += 4) std::memcpy(bytes + 4 * i, &rgba[0], 4);
        return;
    case PixelFormat::stencil8:
        for (std::size_t i = 0; i < count; ++i, rgba += 4)
            bytes[i] = static_cast<std::uint8_t>(std::clamp(rgba[0], 0.0f, 255.0f));
        return;
    case PixelFormat::invalid: return;
    }
}

} // namespace platform::gpu

} // namespace MivoKit
