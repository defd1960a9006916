#pragma once
// A window that shows the frames as they are drawn, where a display exists. Main queue only (SDL
// video belongs to the thread that started it).

#include "tools/demo/image_files.hpp"

#include <memory>
#include <string>

namespace demo {

class DemoWindow {
public:
    // A window of that size, or none (the reason in `why`) when there is no display.
    static std::unique_ptr<DemoWindow> open(std::uint32_t width, std::uint32_t height, std::string& why);
    ~DemoWindow();

    void show(const RGBAImage& image);
    // Handles the window's events; false once it was closed or Escape was pressed.
    bool pump();

    struct Impl;

private:
    explicit DemoWindow(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace demo
