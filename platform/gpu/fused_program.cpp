#include "platform/gpu/draw_program.hpp"

namespace MivoKit {

namespace platform::gpu {
namespace {

class FusedProgram final : public DrawProgram {
public:
    FusedProgram(const FusedDraw& draw, const DrawContext& context, std::uint32_t instanceCount)
        : draw_(draw), context_(context), instanceCount_(instanceCount) {}

    std::size_t slotCount() const override { return instanceCount_; }
    std::size_t primitiveBytes() const override { return draw_.primitiveBytes(); }
    void setup(std::size_t first, std::size_t count, std::byte* primitives, std::size_t stride,
               WindowBounds* bounds) const override {
        draw_.setupInstances(context_, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count),
                             primitives, stride, bounds);
    }
    void shade(const std::byte* primitives, std::size_t stride, const TileEntry* entries, std::size_t count,
               TileTarget& tile) const override {
        draw_.shadeEntries(context_, primitives, stride, entries, count, tile);
    }
    std::size_t frontToBackAttachments() const override { return draw_.frontToBackAttachments(); }

private:
    const FusedDraw& draw_;
    DrawContext context_;
    std::uint32_t instanceCount_;
};

} // namespace

std::unique_ptr<DrawProgram> makeFusedProgram(const FusedDraw& draw, const DrawContext& context,
                                              std::uint32_t instanceCount) {
    return std::make_unique<FusedProgram>(draw, context, instanceCount);
}

} // namespace platform::gpu

} // namespace MivoKit
