#pragma once
// Stand-in for the platform's GPU-backed view: the drawable surface a draw loop renders into.
//
// The view has the fields a draw loop sets and reads (device, colour and depth formats, sample
// count, clear colour, drawable size, preferred frames per second) and a delegate held weakly.
// currentDrawable() never blocks: it hands out a drawable of the drawable size from a pool that
// grows as needed; a drawable goes back to the pool once it has been presented (or dropped).
// A display link calls the delegate's draw on the main queue at the preferred rate; tests call
// draw() by hand and can make the drawable absent.
//
// Presenting (on the GPU thread, when the command buffer that presents completes) copies the
// drawable's pixels into the "last presented" image and hands them to every presentation sink: a
// window, a PNG writer. Main queue only, except what presenting does and lastPresented(), which
// any thread may call.

#include "platform/dispatch/dispatch.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

class GPUView;

// The draw loop's side of the view.
class GPUViewDelegate {
public:
    virtual ~GPUViewDelegate() = default;
    // The drawable size changed (width, height in pixels).
    virtual void drawableSizeWillChange(GPUView& view, double width, double height) = 0;
    // Draw one frame.
    virtual void draw(GPUView& view) = 0;
};

// A presented frame: its pixels as RGBA bytes, rows top to bottom.
struct PresentedImage {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgba;
    std::uint64_t number = 0;     // 1 for the first frame presented by the view
    std::uint64_t drawNumber = 0; // the draw that took its drawable (1 for the first draw), 0 outside draws
};

class GPUView : public std::enable_shared_from_this<GPUView> {
public:
    using PresentationSink = std::function<void(const PresentedImage&)>;

    static std::shared_ptr<GPUView> make();
    ~GPUView();

    const std::shared_ptr<Device>& device() const { return device_; }
    void setDevice(std::shared_ptr<Device> device) { device_ = std::move(device); }

    PixelFormat colorPixelFormat = PixelFormat::bgra8Unorm;
    PixelFormat depthStencilPixelFormat = PixelFormat::invalid;
    std::uint32_t sampleCount = 1;
    ClearColor clearColor{0, 0, 0, 1};
    bool isOpaque = true;
    int preferredFramesPerSecond = 60;

    std::shared_ptr<GPUViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<GPUViewDelegate>& delegate) { delegate_ = delegate; }

    // Width and height in pixels; changing it tells the delegate.
    double drawableWidth() const { return drawableWidth_; }
    double drawableHeight() const { return drawableHeight_; }
    void setDrawableSize(double width, double height);

    // A drawable of the drawable size, none without a device, with an empty size or while made
    // absent. Never blocks.
    std::shared_ptr<Drawable> currentDrawable();
    void setDrawableAvailable(bool available) { drawableAvailable_ = available; }
    // The depth texture of the current size in depthStencilPixelFormat; none without a depth format.
    std::shared_ptr<Texture> depthStencilTexture();
    // None: the view draws one sample per pixel.
    std::shared_ptr<Texture> multisampleColorTexture() const { return nullptr; }

    // Calls draw on the main queue at preferredFramesPerSecond until stopped.
    void startDisplayLink();
    void stopDisplayLink();
    bool isDisplayLinkRunning() const { return displayLinkRunning_; }
    // One draw now, as the display link would.
    void draw();
    // Draws so far; while a draw runs, its own number.
    std::uint64_t drawCount() const { return draws_; }

    void addPresentationSink(PresentationSink sink);
    std::optional<PresentedImage> lastPresented() const;
    std::uint64_t presentedCount() const;
    // Drawables made so far (the pool's size).
    std::size_t drawablesMade() const { return drawablesMade_; }

    // Called by a drawable when its command buffer completed (GPU thread).
    void presentDrawable(const Texture& texture, std::uint64_t drawNumber);

private:
    GPUView() = default;
    class PooledDrawable;
    void scheduleNextDraw();
    void returnToPool(std::shared_ptr<Texture> texture);

    std::shared_ptr<Device> device_;
    std::weak_ptr<GPUViewDelegate> delegate_;
    double drawableWidth_ = 0, drawableHeight_ = 0;
    bool drawableAvailable_ = true;

    std::mutex poolMutex_; // drawables come back on the GPU thread
    std::vector<std::shared_ptr<Texture>> pool_;
    std::size_t drawablesMade_ = 0;
    std::shared_ptr<Texture> depth_;

    std::uint64_t draws_ = 0;
    bool displayLinkRunning_ = false;
    std::shared_ptr<dispatch::Timer> displayLink_;

    mutable std::mutex presentMutex_;
    std::vector<PresentationSink> sinks_;
    std::optional<PresentedImage> lastPresented_;
    std::uint64_t presented_ = 0;
};

} // namespace platform::gpu

} // namespace MivoKit
