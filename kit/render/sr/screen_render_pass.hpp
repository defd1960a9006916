#pragma once
// Draws the super-resolution network's latest finished image onto the view's colour texture with
// "texture2ScreenVertexShader" / "texture2ScreenFragmentShader" (shaders/texture_screen_shaders.hpp):
// scaled to the texture's width, keeping its aspect ratio, the rest cleared to the clear colour.
// Nothing is encoded before the first prediction has finished.

#include "kit/render/sr/render_pass.hpp"
#include "kit/render/sr/sr_network_protocol.hpp"
#include "kit/render/sr/sr_pixel_buffer.hpp"

#include <array>
#include <memory>

namespace MivoKit {

struct ScreenRenderData {
    std::shared_ptr<platform::gpu::Texture> colorTexture;
    std::shared_ptr<SRPixelBuffer> srPixelBuffer;
    platform::gpu::StoreAction colorStoreAction = platform::gpu::StoreAction::store;
    platform::gpu::ClearColor clearColor;
};

class ScreenRenderPass {
public:
    using InputData = ScreenRenderData;

    ScreenRenderPass(std::shared_ptr<platform::gpu::Device> device, std::shared_ptr<platform::gpu::Library> library,
                     platform::gpu::PixelFormat colorFormat, std::shared_ptr<SRNetworkProtocol> srNetwork);

    // Builds the pipeline "纹理上屏渲染" (a missing function stops the program); the device's
    // PipelineError is thrown.
    void setup();
    // Encodes the draw when the pipeline exists and the ring is ready. Stops the program with
    // "Failed to create screen render encoder" when the command buffer makes no encoder.
    void render(platform::gpu::CommandBuffer& commandBuffer, const ScreenRenderData& data);

    // The vertex scale pair (r, r * (Hn / Wn)), r = textureWidth / Wn, for a network of Wn x Hn,
    // in single precision: (1.8695652, 2.1621931) for 1290 pixels and 690 x 798.
    static std::array<float, 2> scalePair(std::uint32_t textureWidth, int networkWidth, int networkHeight);

    const std::shared_ptr<platform::gpu::RenderPipelineState>& texture2ScreenPipelineState() const {
        return texture2ScreenPipelineState_;
    }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::Library> library_;
    platform::gpu::PixelFormat colorFormat_;
    std::shared_ptr<SRNetworkProtocol> srNetwork_;
    std::shared_ptr<platform::gpu::RenderPipelineState> texture2ScreenPipelineState_;
};

static_assert(RenderPass<ScreenRenderPass>);

} // namespace MivoKit
