#pragma once
// One view of one draw call as the pass executor runs it: a number of primitive slots, set up run
// by run into fixed-size records with their window bounds, then shaded tile by tile, one call per
// tile and draw. Internal.

#include "platform/gpu/shader.hpp"

#include <cstddef>
#include <memory>

namespace MivoKit {

namespace platform::gpu {

struct RenderPipelineDescriptor;
namespace command {
struct DrawPrimitives;
}

class DrawProgram {
public:
    virtual ~DrawProgram() = default;
    virtual std::size_t slotCount() const = 0;
    virtual std::size_t primitiveBytes() const = 0;
    // Slots [first, first + count): slot first + i into primitives + i * stride, its bounds into bounds[i].
    virtual void setup(std::size_t first, std::size_t count, std::byte* primitives, std::size_t stride,
                       WindowBounds* bounds) const = 0;
    // The entries binned to one tile, in slot order (see FusedDraw::shadeEntries).
    virtual void shade(const std::byte* primitives, std::size_t stride, const TileEntry* entries, std::size_t count,
                       TileTarget& tile) const = 0;
    virtual std::size_t frontToBackAttachments() const { return 0; }
};

// The fused drawing of a function pair: one slot per instance.
std::unique_ptr<DrawProgram> makeFusedProgram(const FusedDraw& draw, const DrawContext& context,
                                              std::uint32_t instanceCount);

// The reference path: one slot per triangle, vertex and fragment functions called through their
// pointers, edge functions with the top-left fill rule.
std::unique_ptr<DrawProgram> makeTriangleProgram(const RenderPipelineDescriptor& pipeline, const DrawContext& context,
                                                 const command::DrawPrimitives& draw);

} // namespace platform::gpu

} // namespace MivoKit
