#include "tools/demo/demo_window.hpp"

#include <SDL.h>

#include <cstdlib>
#include <cstring>

namespace demo {

struct DemoWindow::Impl {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    std::uint32_t width = 0, height = 0;
};

std::unique_ptr<DemoWindow> DemoWindow::open(std::uint32_t width, std::uint32_t height, std::string& why) {
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if ((driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0)) ||
        !(std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))) {
        why = "no display";
        return nullptr;
    }
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        why = SDL_GetError();
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->width = width, impl->height = height;
    impl->window = SDL_CreateWindow("MivoKit demo", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, int(width),
                                    int(height), 0);
    impl->renderer = impl->window ? SDL_CreateRenderer(impl->window, -1, 0) : nullptr;
    impl->texture = impl->renderer ? SDL_CreateTexture(impl->renderer, SDL_PIXELFORMAT_ABGR8888,
                                                       SDL_TEXTUREACCESS_STREAMING, int(width), int(height))
                                   : nullptr;
    if (!impl->texture) {
        why = SDL_GetError();
        DemoWindow closing(std::move(impl));
        return nullptr;
    }
    return std::unique_ptr<DemoWindow>(new DemoWindow(std::move(impl)));
}

DemoWindow::DemoWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DemoWindow::~DemoWindow() {
    if (impl_->texture) SDL_DestroyTexture(impl_->texture);
    if (impl_->renderer) SDL_DestroyRenderer(impl_->renderer);
    if (impl_->window) SDL_DestroyWindow(impl_->window);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

void DemoWindow::show(const RGBAImage& image) {
    if (image.width != impl_->width || image.height != impl_->height) return;
    SDL_UpdateTexture(impl_->texture, nullptr, image.rgba.data(), int(image.width * 4));
    SDL_RenderClear(impl_->renderer);
    SDL_RenderCopy(impl_->renderer, impl_->texture, nullptr, nullptr);
    SDL_RenderPresent(impl_->renderer);
}

bool DemoWindow::pump() {
    SDL_Event event;
    bool open = true;
    while (SDL_PollEvent(&event))
        if (event.type == SDL_QUIT || (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE)) open = false;
    return open;
}

} // namespace demo
