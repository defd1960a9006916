#pragma once
// Hosting of a GPU view in an SDL2 window, as the platform's user interface hosts a GPU view:
// where a display exists, a window on screen; with SDL's offscreen video driver (no display, as in
// CI), a window without a screen that behaves the same. The window shows every frame the view
// presents (copied on the GPU thread, drawn on the main queue), and resizing the window changes
// the view's drawable size. SIGINT and SIGTERM stay the application's, as with the SDL audio device.
//
// Main queue only (SDL video belongs to the thread that started it), except the presentation sink
// the host adds to the view, which only hands frames over.

#include "platform/gpu/gpu_view.hpp"

#include <memory>
#include <string>

namespace MivoKit {

namespace platform::ui {

class ViewHost {
public:
    // A window of `width` x `height` showing `view`, whose drawable size it sets; none, with SDL's
    // reason in `why`, when no window can be made.
    static std::unique_ptr<ViewHost> open(std::shared_ptr<gpu::GPUView> view, int width, int height,
                                          const std::string& title, std::string& why);
    ~ViewHost();
    ViewHost(const ViewHost&) = delete;
    ViewHost& operator=(const ViewHost&) = delete;

    // Handles the window's events and shows the newest presented frame; false once the window was
    // closed or Escape was pressed.
    bool pump();
    // Resizes the window (as a user would); the view hears of it on the next pump().
    void resize(int width, int height);
    // The name of SDL's video driver ("x11", "wayland", "offscreen", ...).
    std::string videoDriver() const;
    // Frames drawn into the window so far.
    std::uint64_t framesShown() const;

    struct Impl;

private:
    explicit ViewHost(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::ui

} // namespace MivoKit
