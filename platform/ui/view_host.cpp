#include "platform/ui/view_host.hpp"

#include <SDL.h>

#include <atomic>
#include <mutex>
#include <optional>

namespace MivoKit {

namespace platform::ui {

struct ViewHost::Impl {
    std::shared_ptr<gpu::GPUView> view;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int textureWidth = 0, textureHeight = 0;
    std::uint64_t shown = 0;

    // The newest presented frame, handed over from the GPU thread.
    std::shared_ptr<std::mutex> pendingMutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::optional<gpu::PresentedImage>> pending = std::make_shared<std::optional<gpu::PresentedImage>>();

    ~Impl() {
        if (texture) SDL_DestroyTexture(texture);
        if (renderer) SDL_DestroyRenderer(renderer);
        if (window) SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    void show(const gpu::PresentedImage& image) {
        if (!texture || textureWidth != int(image.width) || textureHeight != int(image.height)) {
            if (texture) SDL_DestroyTexture(texture);
            texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ABGR8888, SDL_TEXTUREACCESS_STREAMING,
                                        int(image.width), int(image.height));
            textureWidth = int(image.width), textureHeight = int(image.height);
            if (!texture) return;
        }
        SDL_UpdateTexture(texture, nullptr, image.rgba.data(), int(image.width * 4));
        SDL_RenderClear(renderer);
        SDL_RenderCopy(renderer, texture, nullptr, nullptr);
        SDL_RenderPresent(renderer);
        ++shown;
    }
};

std::unique_ptr<ViewHost> ViewHost::open(std::shared_ptr<gpu::GPUView> view, int width, int height,
                                         const std::string& title, std::string& why) {
    // Frames are drawn in software; without this SDL would show the window's surface through an
    // OpenGL context, loading (and, offscreen, leaking) a whole EGL driver for nothing.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Video starts SDL's event subsystem, whose handlers would take the application's SIGINT and
    // SIGTERM (as SDL_QUIT events); the application keeps them unless it asked SDL for them.
    if (!SDL_GetHint(SDL_HINT_NO_SIGNAL_HANDLERS)) SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        why = SDL_GetError();
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->view = std::move(view);
    impl->window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                                    SDL_WINDOW_RESIZABLE);
    // A software renderer works with every video driver, the offscreen one included.
    impl->renderer = impl->window ? SDL_CreateRenderer(impl->window, -1, SDL_RENDERER_SOFTWARE) : nullptr;
    if (!impl->renderer) {
        why = SDL_GetError();
        return nullptr;
    }
    impl->view->setDrawableSize(width, height);
    impl->view->addPresentationSink([mutex = impl->pendingMutex, pending = impl->pending](const gpu::PresentedImage& image) {
        std::lock_guard lock(*mutex);
        *pending = image;
    });
    return std::unique_ptr<ViewHost>(new ViewHost(std::move(impl)));
}

ViewHost::ViewHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ViewHost::~ViewHost() = default;

bool ViewHost::pump() {
    bool open = true;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT || (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE)) open = false;
        if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
            impl_->view->setDrawableSize(event.window.data1, event.window.data2);
    }
    std::optional<gpu::PresentedImage> frame;
    {
        std::lock_guard lock(*impl_->pendingMutex);
        frame.swap(*impl_->pending);
    }
    if (frame) impl_->show(*frame);
    return open;
}

void ViewHost::resize(int width, int height) { SDL_SetWindowSize(impl_->window, width, height); }

std::string ViewHost::videoDriver() const {
    const char* name = SDL_GetCurrentVideoDriver();
    return name ? name : "";
}

std::uint64_t ViewHost::framesShown() const { return impl_->shown; }

} // namespace platform::ui

} // namespace MivoKit
