#pragma once
// The attachments of one render pass and what happens to them at its start and end.

#include "platform/gpu/shader.hpp"
#include "platform/gpu/texture.hpp"
#include "platform/gpu/types.hpp"

#include <array>
#include <memory>

namespace MivoKit {

namespace platform::gpu {

// Variable-rate rasterisation map. The software device rasterises every pixel at full rate and
// makes none; passes carry the (absent) map through for callers that pass one along.
class RasterizationRateMap;

struct RenderPassColorAttachmentDescriptor {
    std::shared_ptr<Texture> texture;
    LoadAction loadAction = LoadAction::dontCare;
    StoreAction storeAction = StoreAction::store;
    ClearColor clearColor{};
};

struct RenderPassDepthAttachmentDescriptor {
    std::shared_ptr<Texture> texture;
    LoadAction loadAction = LoadAction::clear;
    StoreAction storeAction = StoreAction::dontCare;
    double clearDepth = 1.0;
};

struct RenderPassStencilAttachmentDescriptor {
    std::shared_ptr<Texture> texture;
    LoadAction loadAction = LoadAction::clear;
    StoreAction storeAction = StoreAction::dontCare;
    std::uint32_t clearStencil = 0;
};

struct RenderPassDescriptor {
    std::array<RenderPassColorAttachmentDescriptor, kMaxColorAttachments> colorAttachments{};
    RenderPassDepthAttachmentDescriptor depthAttachment{};
    RenderPassStencilAttachmentDescriptor stencilAttachment{};
    std::shared_ptr<RasterizationRateMap> rasterizationRateMap;
    std::uint32_t renderTargetArrayLength = 0;
};

} // namespace platform::gpu

} // namespace MivoKit
