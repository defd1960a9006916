#pragma once
// Frames read back from the GPU, written as PNG files and gathered into a contact sheet.

#include "platform/gpu/texture.hpp"

#include <cstdint>
#include <filesystem>
#include <vector>

using namespace MivoKit;

namespace demo {

struct RGBAImage {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgba; // rows top to bottom, four bytes a pixel
};

// The pixels of a BGRA8 texture.
RGBAImage readTexture(const platform::gpu::Texture& texture);

// Throws std::runtime_error when the file cannot be written.
void writePNG(const std::filesystem::path& path, const RGBAImage& image);

// The frames side by side, `columns` to a row, each shrunk by `shrink` (box filter), on white.
RGBAImage contactSheet(const std::vector<RGBAImage>& frames, std::uint32_t columns, std::uint32_t shrink);

// The image shrunk by `shrink` (box filter) as contactSheet() shrinks each frame: a sheet of
// shrunk frames with shrink 1 equals the sheet of the frames, and holds far less while gathered.
RGBAImage shrunk(const RGBAImage& image, std::uint32_t shrink);

} // namespace demo
