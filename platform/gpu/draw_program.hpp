#pragma once
// One view of one draw call as the pass executor runs it: a number of primitive slots, each set
// up into a fixed-size record with its window bounds, then shaded tile by tile. Internal.

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
    virtual WindowBounds setup(std::size_t slot, std::byte* primitive) const = 0;
    virtual void shade(const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1, int y1) const = 0;
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
