#include "kit/render/shaders/sr_compute_kernels.hpp"

#include "platform/gpu/half.hpp"
#include "platform/gpu/texture.hpp"

#include <cstdint>
#include <cstring>

namespace MivoKit {

namespace shaders {

using namespace platform::gpu;

void compositeTextures(const KernelInput& in) {
    const Texture* below = in.bindings->textures[0];
    const Texture* above = in.bindings->textures[1];
    Texture* destination = in.bindings->textures[2];
    const UInt3 p = in.threadPositionInGrid;
    if (!destination || p.x >= destination->width() || p.y >= destination->height()) return;
    const auto* bound = in.bindings->buffer<simd::float3>(0);
    const simd::float3 background = bound ? *bound : simd::float3{};
    auto source = [&](const Texture* texture) {
        return texture && p.x < texture->width() && p.y < texture->height()
                   ? texture->read(p.x, p.y)
                   : simd::float4{background.x, background.y, background.z, 0.0f};
    };
    const simd::float4 s1 = source(below), s2 = source(above);
    // Source 1's own background is taken out, so that only what it covers shows through source 2.
    const float k = 1.0f - s2.w;
    destination->write({s2.x + (s1.x - background.x) * k, s2.y + (s1.y - background.y) * k,
                        s2.z + (s1.z - background.z) * k, s2.w + s1.w * k},
                       p.x, p.y);
}

namespace {

// Pixel (x, y) of `texture` (inside it) as four halves (r, g, b, a).
void readHalves(const Texture& texture, std::uint32_t x, std::uint32_t y, std::uint16_t halves[4]) {
    if (texture.pixelFormat() == PixelFormat::rgba16Float) { // already the network's element type
        std::memcpy(halves, texture.row(y) + std::size_t(x) * 8, 8);
        return;
    }
    const simd::float4 v = texture.read(x, y);
    halves[0] = floatToHalf(v.x), halves[1] = floatToHalf(v.y), halves[2] = floatToHalf(v.z),
    halves[3] = floatToHalf(v.w);
}

} // namespace

void computeSRMultiChannel(const KernelInput& in) {
    const Texture* first = in.bindings->textures[0];
    const UInt3 p = in.threadPositionInGrid;
    if (!first || p.x >= first->width() || p.y >= first->height()) return;
    const std::size_t plane = std::size_t(first->width()) * first->height();
    const auto& output = in.bindings->buffers[0];
    if (!output.data || output.length < plane * kSRChannelCount * sizeof(std::uint16_t)) return;

    std::uint16_t pixels[3][4] = {};
    for (int t = 0; t < 3; ++t) {
        const Texture* texture = in.bindings->textures[t];
        if (texture && p.x < texture->width() && p.y < texture->height()) readHalves(*texture, p.x, p.y, pixels[t]);
    }
    // Channels (t0.r, t0.g, t0.b, t1.r, t1.g, t1.b, t2.r, t2.g), one plane each.
    auto* out = reinterpret_cast<std::uint16_t*>(const_cast<std::byte*>(output.data)) +
                (std::size_t(p.y) * first->width() + p.x);
    out[0] = pixels[0][0];
    out[plane] = pixels[0][1];
    out[2 * plane] = pixels[0][2];
    out[3 * plane] = pixels[1][0];
    out[4 * plane] = pixels[1][1];
    out[5 * plane] = pixels[1][2];
    out[6 * plane] = pixels[2][0];
    out[7 * plane] = pixels[2][1];
}

} // namespace shaders

} // namespace MivoKit
