#include "kit/render/sr/simple_sr_splat_renderer.hpp"

namespace MivoKit {

using namespace platform::gpu;

void SimpleSRSplatRenderer::update(const SplatMemoryBuffer& from) { splatBufferManager.update(from, _colorFormat()); }

void SimpleSRSplatRenderer::update(const SplatMemoryBuffer& partOne, const SplatMemoryBuffer&) { update(partOne); }

void SimpleSRSplatRenderer::add(std::span<const SplatScenePoint> points) { splatBufferManager.add(points); }

void SimpleSRSplatRenderer::add(const SplatScenePoint& point) { splatBufferManager.add(std::span(&point, 1)); }

void SimpleSRSplatRenderer::reset() { splatBufferManager.reset(); }

void SimpleSRSplatRenderer::prepareTextures() {
    if (offscreenTextures_.empty()) offscreenTextures_ = makeFeatureTextures();
}

const std::vector<std::shared_ptr<Texture>>& SimpleSRSplatRenderer::encodeFeatures(CommandBuffer& commandBuffer,
                                                                                   const FrameTargets& targets) {
    encodeSplats(commandBuffer, splatBufferManager, offscreenTextures_, targets);
    return offscreenTextures_;
}

} // namespace MivoKit
