#pragma once
// The draw loop of the kit's view: the GPU view's delegate. Thirty times a second the view asks it
// to draw; it takes the drawable, waits until fewer than three frames are in flight, schedules the
// pull of the player's newest splats (and, through makeViewport, of its camera) onto the main queue
// for the next draw, builds the frame's one viewport, lets the renderer of the render mode encode
// the frame, and presents the drawable. Nothing is pushed to it: it pulls through
// MvCharacterDataProvider at its own rate while the player publishes 25 frames a second. It hands
// the renderer the frame's shared buffer object, so a frame pulled again is not converted again.
//
// Main queue only; the only other thread is the GPU's, whose completion handlers signal the
// in-flight semaphore. Every draw that waited signals it exactly once: through the completion of
// the command buffer it commits, or at once when it commits none.

#include "kit/conversation/mv_character_data_provider.hpp"
#include "kit/model/sr_network.hpp"
#include "kit/render/splat.hpp"
#include "kit/render/splat_renderer_protocol.hpp"
#include "kit/render/sr/sr_network_protocol.hpp"
#include "platform/gpu/gpu_view.hpp"

#include <memory>
#include <optional>
#include <semaphore>

namespace MivoKit {

class Splat2DRenderer : public platform::gpu::GPUViewDelegate, public std::enable_shared_from_this<Splat2DRenderer> {
public:
    static constexpr int maxFramesInFlight = 3;

    // Configures the view for the render mode and makes the renderer; none when the view has no
    // device or the device gives no command queue. A renderer that cannot be made stops the
    // program ("Failed to initialize SplatRenderer: " and the reason).
    static std::shared_ptr<Splat2DRenderer> make(std::shared_ptr<platform::gpu::GPUView> mtkView,
                                                 std::shared_ptr<MvCharacterDataProvider> characterDataProvider,
                                                 RenderMode renderMode, std::shared_ptr<SRNetworkProtocol> srNetwork);

    // The view's drawable size changed: stored, nothing else.
    void drawableSizeWillChange(platform::gpu::GPUView& view, double width, double height) override;
    // One frame.
    void draw(platform::gpu::GPUView& view) override;

    // The size frames are rendered at: the network's in SR mode (0 x 0 without one), else the
    // drawable's.
    std::pair<double, double> renderSize() const;
    // The frame's viewport for a render size; schedules the camera pull for the next frame.
    ModelRendererViewportDescriptor makeViewport(double width, double height);
    // Copies a transform into the camera; none changes nothing.
    void applyFrameTransform(const std::optional<Mivo::Transform>& transform);

    const std::shared_ptr<platform::gpu::GPUView>& mtkView() const { return mtkView_; }
    const std::shared_ptr<platform::gpu::CommandQueue>& commandQueue() const { return commandQueue_; }
    const std::shared_ptr<SplatRendererProtocol>& splatRenderer() const { return splatRenderer_; }
    RenderMode renderMode() const { return renderMode_; }
    std::pair<double, double> drawableSize() const { return {drawableWidth_, drawableHeight_}; }
    float fovyRadians() const { return fovyRadians_; }
    const simd::float4x4& translationMatrix() const { return translationMatrix_; }
    const simd::float4x4& rotationMatrix() const { return rotationMatrix_; }
    // Draws that had to wait for a frame slot, for measurements.
    std::uint64_t waitedDraws() const { return waitedDraws_; }

private:
    Splat2DRenderer() = default;

    std::shared_ptr<platform::gpu::GPUView> mtkView_;
    std::shared_ptr<platform::gpu::CommandQueue> commandQueue_;
    // Shared with completion handlers, which may run after the renderer is gone.
    std::shared_ptr<std::counting_semaphore<maxFramesInFlight>> inFlightSemaphore_ =
        std::make_shared<std::counting_semaphore<maxFramesInFlight>>(maxFramesInFlight);
    std::shared_ptr<SplatRendererProtocol> splatRenderer_;
    double drawableWidth_ = 0, drawableHeight_ = 0;
    std::shared_ptr<MvCharacterDataProvider> characterDataProvider_;
    std::shared_ptr<SRNetworkProtocol> srNetwork_;
    RenderMode renderMode_ = RenderMode::Default;
    float fovyRadians_ = 0;
    simd::float4x4 translationMatrix_ = simd::float4x4::identity();
    simd::float4x4 rotationMatrix_ = simd::float4x4::identity();
    std::uint64_t waitedDraws_ = 0;
};

} // namespace MivoKit
