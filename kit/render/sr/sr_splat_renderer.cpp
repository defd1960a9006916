#include "kit/render/sr/sr_splat_renderer.hpp"

#include "kit/render/sr/gaussian_splat_render_pass.hpp"

#include <algorithm>

namespace MivoKit {

using namespace platform::gpu;

void SRSplatRenderer::update(const SplatMemoryBuffer& from) { splatBufferManager1.update(from, _colorFormat()); }

void SRSplatRenderer::update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer& partTwo) {
    splatBufferManager1.update(partOne, _colorFormat());
    splatBufferManager2.update(partTwo, _colorFormat());
}

void SRSplatRenderer::add(std::span<const SplatScenePoint> points) { splatBufferManager1.add(points); }

void SRSplatRenderer::add(const SplatScenePoint& point) { splatBufferManager1.add(std::span(&point, 1)); }

void SRSplatRenderer::reset() {
    splatBufferManager1.reset();
    splatBufferManager2.reset();
}

bool SRSplatRenderer::hasSplatsToDraw() const {
    return splatBufferManager1.splatBuffer->count > 0 && splatBufferManager2.splatBuffer->count > 0;
}

void SRSplatRenderer::sortSplats(simd::float3 direction) {
    splatBufferManager1.sortSplats(direction);
    splatBufferManager2.sortSplats(direction);
}

void SRSplatRenderer::prepareTextures() {
    if (!offscreenTextures1_.empty() && !offscreenTextures2_.empty() && !offscreenTextures3_.empty()) return;
    offscreenTextures1_ = makeFeatureTextures();
    offscreenTextures2_ = makeFeatureTextures();
    offscreenTextures3_ = makeFeatureTextures();
}

const std::vector<std::shared_ptr<Texture>>& SRSplatRenderer::encodeFeatures(CommandBuffer& commandBuffer,
                                                                             const FrameTargets& targets) {
    encodeSplats(commandBuffer, splatBufferManager1, offscreenTextures1_, targets);
    encodeSplats(commandBuffer, splatBufferManager2, offscreenTextures2_, targets);
    if (compositeComputePass_) {
        // One dispatch per texture index that all three sets have. Each set's texture i holds its
        // splats over what the splat pass cleared attachment i to, which the composite must not
        // count as covered.
        const std::size_t n =
            std::min({offscreenTextures1_.size(), offscreenTextures2_.size(), offscreenTextures3_.size()});
        for (std::size_t i = 0; i < n; ++i)
            compositeComputePass_->compute(commandBuffer,
                                           {offscreenTextures1_[i], offscreenTextures2_[i], offscreenTextures3_[i],
                                            GaussianSplatRenderPass::attachmentClearColor(i)});
    }
    return offscreenTextures3_;
}

} // namespace MivoKit
