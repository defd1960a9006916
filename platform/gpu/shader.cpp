#include "platform/gpu/shader.hpp"

namespace MivoKit {

namespace platform::gpu {

void FusedDraw::setupInstances(const DrawContext& context, std::uint32_t first, std::uint32_t count,
                               std::byte* primitives, std::size_t stride, WindowBounds* bounds) const {
    for (std::uint32_t i = 0; i < count; ++i) bounds[i] = setup(context, first + i, primitives + i * stride);
}

void FusedDraw::shadeEntries(const DrawContext& context, const std::byte* primitives, std::size_t stride,
                             const TileEntry* entries, std::size_t count, TileTarget& tile) const {
    // Records are visited in draw order, scattered in memory: fetch ahead.
    constexpr std::size_t kAhead = 4;
    const auto shadeOne = [&](const TileEntry& e) {
        shade(context, primitives + e.slot * stride, tile, tile.originX + e.x0, tile.originY + e.y0,
              tile.originX + e.x1, tile.originY + e.y1);
    };
    if (!tile.transmittance) {
        for (std::size_t e = 0; e < count; ++e) {
            if (e + kAhead < count) __builtin_prefetch(primitives + entries[e + kAhead].slot * stride);
            shadeOne(entries[e]);
        }
        return;
    }
    for (std::size_t e = count; e > 0 && tile.openRows; --e) {
        if (e > kAhead) __builtin_prefetch(primitives + entries[e - 1 - kAhead].slot * stride);
        const TileEntry& entry = entries[e - 1];
        const std::uint32_t rows = ((1u << entry.y1) - 1) & ~((1u << entry.y0) - 1);
        if (tile.openRows & rows) shadeOne(entry); // else nearer primitives hid it here
    }
}

} // namespace platform::gpu

} // namespace MivoKit
