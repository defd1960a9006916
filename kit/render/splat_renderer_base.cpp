#include "kit/render/splat_renderer_base.hpp"

#include "kit/render/shader_library.hpp"

#include <utility>

namespace MivoKit {

SplatRendererBase::SplatRendererBase(std::shared_ptr<platform::gpu::Device> device,
                                     platform::gpu::PixelFormat colorFormat, ColorFormat _colorFormat,
                                     platform::gpu::PixelFormat depthFormat, platform::gpu::PixelFormat stencilFormat,
                                     std::size_t sampleCount, std::size_t maxViewCount,
                                     std::size_t maxSimultaneousRenders)
    : device_(std::move(device)), colorFormat_(colorFormat), _colorFormat_(_colorFormat), depthFormat_(depthFormat),
      stencilFormat_(stencilFormat), sampleCount_(sampleCount), maxViewCount_(maxViewCount),
      maxSimultaneousRenders_(maxSimultaneousRenders), ring_(*device_, maxViewCount, maxSimultaneousRenders),
      library_(makeKitShaderLibrary(*device_)) {}

bool SplatRendererBase::exchangeStoreDepth(bool storeDepth) { return std::exchange(storeDepth_, storeDepth) != storeDepth; }

bool SplatRendererBase::exchangeRenderFrontToBack(bool renderFrontToBack) {
    return std::exchange(renderFrontToBack_, renderFrontToBack) != renderFrontToBack;
}

std::span<const ViewportDescriptor> SplatRendererBase::beginFrame(const std::vector<ViewportDescriptor>& viewports) {
    const auto views = ring_.drawnViews(viewports);
    ring_.advance();
    ring_.write(views);
    return views;
}

} // namespace MivoKit
