#pragma once
// A small built-in bitmap font for the demo's pictures: 5 x 8 pixel glyphs (7 above the baseline,
// one below) for the digits, the lower-case letters and a little punctuation, so labels need no
// font files. A character without a glyph is drawn as a blank. Plain functions, any thread.

#include "tools/demo/image_files.hpp"

#include <array>
#include <cstdint>
#include <string_view>

using namespace MivoKit;

namespace demo {

using Rgb = std::array<std::uint8_t, 3>;

inline constexpr int kGlyphWidth = 5, kGlyphHeight = 8, kGlyphAdvance = 6; // in font pixels

// The width in image pixels of `text` drawn at `scale` image pixels per font pixel.
int textWidth(std::string_view text, int scale);

// Draws `text` with its top-left corner at (x, y); what falls outside the image is clipped.
void drawText(RGBAImage& image, int x, int y, std::string_view text, int scale, Rgb colour);

} // namespace demo
