#pragma once
// The screen pass's shaders: the super-resolution network's output image drawn onto the view's
// colour texture.
//
// Vertex buffer 0 holds the four clip-space corners (x, y, z, w floats) of the full-screen strip;
// vertex bytes 1 are the scale pair (sx, sy) = (r, r * Hn / Wn), with r = target width / Wn for a
// network of Wn x Hn pixels; vertex bytes 2 are the target's width and height in pixels (the
// pair alone cannot place the image: it says nothing of the target's height). One network pixel
// becomes sx target pixels across, and the image (sx, sy) * Wn pixels: it fills the target's
// width, keeps its aspect ratio and is centred vertically (cropped when taller than the target).
// The fragment function samples texture 0 bilinearly, clamped to its edges.

#include "platform/gpu/shader.hpp"

#include <memory>

namespace MivoKit {

namespace shaders {

void texture2ScreenVertexShader(const platform::gpu::VertexInput& in, platform::gpu::VertexOutput& out);
bool texture2ScreenFragmentShader(const platform::gpu::FragmentInput& in, platform::gpu::FragmentOutput& out);
// The texture coordinates (u, v), v down.
inline constexpr std::size_t kTextureScreenVaryingCount = 2;

// The same drawing, for the strip the screen pass draws (an axis-aligned rectangle), as one
// rectangle shaded row by row.
std::shared_ptr<const platform::gpu::FusedDraw> makeTextureScreenFusedDraw();

} // namespace shaders

} // namespace MivoKit
