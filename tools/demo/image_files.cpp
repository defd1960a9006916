#include "tools/demo/image_files.hpp"

#include <stb_image_write.h>

#include <stdexcept>

using namespace MivoKit;

namespace demo {

RGBAImage readTexture(const platform::gpu::Texture& texture) {
    RGBAImage image{texture.width(), texture.height(), {}};
    image.rgba.resize(std::size_t(image.width) * image.height * 4);
    texture.getBytes(image.rgba.data(), image.width * 4, {0, 0, image.width, image.height});
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) std::swap(image.rgba[i], image.rgba[i + 2]);
    return image;
}

void writePNG(const std::filesystem::path& path, const RGBAImage& image) {
    if (!stbi_write_png(path.c_str(), int(image.width), int(image.height), 4, image.rgba.data(), int(image.width * 4)))
        throw std::runtime_error("cannot write " + path.string());
}

namespace {

// `frame` shrunk by `shrink` (box filter) into the cell of `sheet` at (ox, oy).
void drawShrunk(const RGBAImage& frame, std::uint32_t shrink, RGBAImage& sheet, std::uint32_t ox, std::uint32_t oy,
                std::uint32_t cellW, std::uint32_t cellH) {
    for (std::uint32_t y = 0; y < cellH; ++y)
        for (std::uint32_t x = 0; x < cellW; ++x)
            for (int c = 0; c < 4; ++c) {
                unsigned sum = 0;
                for (std::uint32_t dy = 0; dy < shrink; ++dy)
                    for (std::uint32_t dx = 0; dx < shrink; ++dx)
                        sum += frame.rgba[((std::size_t(y) * shrink + dy) * frame.width + x * shrink + dx) * 4 + c];
                sheet.rgba[((std::size_t(oy) + y) * sheet.width + ox + x) * 4 + c] = std::uint8_t(sum / (shrink * shrink));
            }
}

} // namespace

RGBAImage contactSheet(const std::vector<RGBAImage>& frames, std::uint32_t columns, std::uint32_t shrink) {
    if (frames.empty() || columns == 0 || shrink == 0) return {};
    const std::uint32_t cellW = frames[0].width / shrink, cellH = frames[0].height / shrink;
    const std::uint32_t rows = std::uint32_t((frames.size() + columns - 1) / columns);
    RGBAImage sheet{cellW * columns, cellH * rows, {}};
    sheet.rgba.assign(std::size_t(sheet.width) * sheet.height * 4, 255);
    for (std::size_t f = 0; f < frames.size(); ++f)
        drawShrunk(frames[f], shrink, sheet, std::uint32_t(f % columns) * cellW, std::uint32_t(f / columns) * cellH,
                   cellW, cellH);
    return sheet;
}

RGBAImage shrunk(const RGBAImage& image, std::uint32_t shrink) {
    if (shrink == 0) return {};
    RGBAImage out{image.width / shrink, image.height / shrink, {}};
    out.rgba.resize(std::size_t(out.width) * out.height * 4);
    drawShrunk(image, shrink, out, 0, 0, out.width, out.height);
    return out;
}

} // namespace demo
