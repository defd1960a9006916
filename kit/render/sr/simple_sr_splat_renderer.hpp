#pragma once
// The super-resolution renderer the view layer uses for the "SR" render mode: one splat set,
// drawn offscreen at the network's size into three feature textures, packed into the network's
// input and shown, a prediction later, through the output ring (sr_renderer_base.hpp has the
// frame road, threads and guarantees).

#include "kit/render/sr/sr_renderer_base.hpp"

namespace MivoKit {

class SimpleSRSplatRenderer final : public SRRendererBase {
public:
    using SRRendererBase::SRRendererBase;

    void update(const SplatMemoryBuffer& from) override;
    // Replaces the splats with `partOne`; `partTwo` is not used.
    void update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer& partTwo) override;
    // Colours are read as sRGB, whatever _colorFormat says.
    void add(std::span<const SplatScenePoint> points) override;
    void add(const SplatScenePoint& point) override;
    void reset() override;
    std::size_t splatCount() const { return splatBufferManager.splatBuffer->count; }

    // Built on the first frame with splats.
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& offscreenTextures() const { return offscreenTextures_; }

    SplatBufferManager splatBufferManager{device()};

private:
    bool hasSplatsToDraw() const override { return splatCount() > 0; }
    void sortSplats(simd::float3 direction) override { splatBufferManager.sortSplats(direction); }
    void prepareTextures() override;
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& encodeFeatures(
        platform::gpu::CommandBuffer& commandBuffer, const FrameTargets& targets) override;

    std::vector<std::shared_ptr<platform::gpu::Texture>> offscreenTextures_;
};

} // namespace MivoKit
