#pragma once
// The two-set super-resolution renderer, for applications: splat sets 1 and 2 are drawn
// separately into their own feature textures, composited pixel by pixel into a third set, and
// that composite feeds the network. Nothing is drawn until both sets hold splats. Everything else
// is as in SimpleSRSplatRenderer (sr_renderer_base.hpp).
//
// The composite is premultiplied "over" with set 2 in front: where set 2 covers a pixel fully
// only set 2 shows, where it covers nothing set 1 shows as if drawn alone, and where neither does
// the network sees the background the one-set renderer gives it. Every feature texture composites
// by the same coverage. Set 2 is in front because it is drawn second: the result is what drawing
// set 2's splats after set 1's into one target gives. Depth cannot decide it: the splat pass keeps
// no depth per set (both sets share the caller's depth texture, which the pass does not test).

#include "kit/render/sr/sr_renderer_base.hpp"

namespace MivoKit {

class SRSplatRenderer final : public SRRendererBase {
public:
    using SRRendererBase::SRRendererBase;

    // Replaces set 1; set 2 is untouched.
    void update(const SplatMemoryBuffer& from) override;
    // Replaces set 1 with `partOne`, then, if that succeeded, set 2 with `partTwo`.
    void update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer& partTwo) override;
    // Append to set 1, colours read as sRGB.
    void add(std::span<const SplatScenePoint> points) override;
    void add(const SplatScenePoint& point) override;
    // Empties both sets.
    void reset() override;
    // The splats of set 1.
    std::size_t splatCount() const { return splatBufferManager1.splatBuffer->count; }

    CompositeComputePass* compositeComputePass() const { return compositeComputePass_.get(); }
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& offscreenTextures1() const { return offscreenTextures1_; }
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& offscreenTextures2() const { return offscreenTextures2_; }
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& offscreenTextures3() const { return offscreenTextures3_; }

    SplatBufferManager splatBufferManager1{device()};
    SplatBufferManager splatBufferManager2{device()};

private:
    bool hasSplatsToDraw() const override;
    void sortSplats(simd::float3 direction) override;
    CompositeComputePass* compositePass() const override { return compositeComputePass_.get(); }
    void prepareTextures() override;
    const std::vector<std::shared_ptr<platform::gpu::Texture>>& encodeFeatures(
        platform::gpu::CommandBuffer& commandBuffer, const FrameTargets& targets) override;

    std::unique_ptr<CompositeComputePass> compositeComputePass_ = std::make_unique<CompositeComputePass>(device(), library());
    std::vector<std::shared_ptr<platform::gpu::Texture>> offscreenTextures1_;
    std::vector<std::shared_ptr<platform::gpu::Texture>> offscreenTextures2_;
    std::vector<std::shared_ptr<platform::gpu::Texture>> offscreenTextures3_;
};

} // namespace MivoKit
