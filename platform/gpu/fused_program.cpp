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
    WindowBounds setup(std::size_t slot, std::byte* primitive) const override {
        return draw_.setup(context_, static_cast<std::uint32_t>(slot), primitive);
    }
    void shade(const std::byte* primitive, TileTarget& tile, int x0, int y0, int x1, int y1) const override {
        draw_.shade(context_, primitive, tile, x0, y0, x1, y1);
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
