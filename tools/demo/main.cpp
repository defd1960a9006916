// The kit's main job on this machine: the synthetic character's idle animation, posed frame by
// frame by its buffer provider and drawn by the direct splat renderer on the software GPU from the
// character's camera. Writes the frames and a contact sheet as PNG files and prints the time per
// frame; where a display exists, also plays the frames in a window.
//
//   mivo_demo [--output DIR] [--seconds S] [--size WIDTHxHEIGHT] [--documents DIR] [--no-window]

#include "kit/render/splat_renderer.hpp"
#include "tools/demo/demo_scene.hpp"
#include "tools/demo/image_files.hpp"

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

using namespace platform::gpu;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::filesystem::path output = "demo-output";
    std::filesystem::path documents = demo::builtDocumentsDirectory();
    double seconds = 2.0;
    std::uint32_t width = 690, height = 798;
    bool window = true;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--output") o.output = value();
        else if (arg == "--documents") o.documents = value();
        else if (arg == "--seconds") o.seconds = std::stod(value());
        else if (arg == "--size") {
            const std::string size = value();
            if (std::sscanf(size.c_str(), "%ux%u", &o.width, &o.height) != 2 || o.width == 0 || o.height == 0 ||
                o.width > 4096 || o.height > 4096)
                throw std::runtime_error("--size wants WIDTHxHEIGHT, for example 690x798");
        } else if (arg == "--no-window") o.window = false;
        else throw std::runtime_error("unknown argument " + arg);
    }
    if (!(o.seconds > 0 && o.seconds <= 60)) throw std::runtime_error("--seconds wants a value above 0, at most 60");
    return o;
}

bool displayAvailable() {
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if (driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0)) return false;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// Plays the frames at 25 per second until the window is closed or Escape is pressed.
void showInWindow(const std::vector<demo::RGBAImage>& frames) {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::cout << "No window: " << SDL_GetError() << "\n";
        return;
    }
    const auto& first = frames.front();
    SDL_Window* window = SDL_CreateWindow("MivoKit demo", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                          int(first.width), int(first.height), 0);
    SDL_Renderer* renderer = window ? SDL_CreateRenderer(window, -1, 0) : nullptr;
    SDL_Texture* texture = renderer ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ABGR8888,
                                                        SDL_TEXTUREACCESS_STREAMING, int(first.width),
                                                        int(first.height))
                                    : nullptr;
    if (!texture) {
        std::cout << "No window: " << SDL_GetError() << "\n";
    } else {
        std::cout << "Playing in a window; close it or press Escape to end.\n";
        bool running = true;
        for (std::size_t i = 0; running; i = (i + 1) % frames.size()) {
            SDL_Event event;
            while (SDL_PollEvent(&event))
                if (event.type == SDL_QUIT || (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE))
                    running = false;
            SDL_UpdateTexture(texture, nullptr, frames[i].rgba.data(), int(frames[i].width * 4));
            SDL_RenderClear(renderer);
            SDL_RenderCopy(renderer, texture, nullptr, nullptr);
            SDL_RenderPresent(renderer);
            SDL_Delay(40);
        }
    }
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
    SDL_Quit();
}

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int run(const Options& options) {
    std::filesystem::create_directories(options.output);
    auto scene = demo::loadSyntheticCharacter(options.documents);
    const ViewportDescriptor view = demo::characterViewport(scene.character.camera(), options.width, options.height);

    // As the kit's view sets it up for the direct renderer: BGRA8 colour, 32-bit depth, one
    // view, three frames in flight.
    auto device = createSystemDefaultDevice();
    auto queue = device->makeCommandQueue();
    SplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::depth32Float, PixelFormat::invalid, 1, 1, 3);
    auto color = device->makeTexture({PixelFormat::bgra8Unorm, options.width, options.height, 1,
                                      TextureUsage::renderTarget | TextureUsage::shaderRead});
    auto depth = device->makeTexture({PixelFormat::depth32Float, options.width, options.height, 1,
                                      TextureUsage::renderTarget});

    const int frameCount = std::max(1, int(options.seconds * 25.0 + 0.5));
    std::vector<demo::RGBAImage> frames;
    double computeTotal = 0, renderTotal = 0;
    std::cout << "Rendering " << frameCount << " frames of " << options.width << "x" << options.height << " on "
              << device->name() << "\n";
    for (int i = 0; i < frameCount; ++i) {
        const auto t0 = Clock::now();
        const SplatMemoryBuffer splats = scene.nextIdleFrame();
        const auto t1 = Clock::now();
        renderer.update(splats);
        auto commandBuffer = renderer.render({view}, color, StoreAction::store, depth, nullptr, nullptr, 0,
                                             queue->makeCommandBuffer(), queue);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        const auto t2 = Clock::now();
        if (i > 0 || frameCount == 1) { // the first pose also loads the head model
            computeTotal += milliseconds(t1 - t0);
            renderTotal += milliseconds(t2 - t1);
        }
        frames.push_back(demo::readTexture(*color));
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.png", i);
        demo::writePNG(options.output / name, frames.back());
        std::printf("frame %3d: %zu splats, pose %.1f ms, render %.1f ms\n", i, splats.points.size(),
                    milliseconds(t1 - t0), milliseconds(t2 - t1));
    }
    const auto sheetPath = options.output / "contact_sheet.png";
    std::vector<demo::RGBAImage> sampled;
    for (int i = 0; i < frameCount; i += std::max(1, frameCount / 10)) sampled.push_back(frames[i]);
    demo::writePNG(sheetPath, demo::contactSheet(sampled, 5, 2));
    const int timed = std::max(1, frameCount - 1);
    std::printf("\nTime per frame: pose %.1f ms + render %.1f ms = %.1f ms (mean of %d frames after the first)\n",
                computeTotal / timed, renderTotal / timed, (computeTotal + renderTotal) / timed, timed);
    std::cout << "Frames: " << std::filesystem::absolute(options.output).string() << "/frame_*.png\n";
    std::cout << "Contact sheet: " << std::filesystem::absolute(sheetPath).string() << "\n";
    if (options.window && displayAvailable()) showInWindow(frames);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "mivo_demo: " << e.what() << "\n";
        return 1;
    }
}
