#pragma once
// The two kernels of the super-resolution road, one thread per pixel. Grids are rounded up to
// whole threadgroups, so each kernel returns for threads outside its image and never reads or
// writes past a bound texture or buffer.

#include "platform/gpu/shader.hpp"

#include <cstddef>

namespace MivoKit {

namespace shaders {

// Channels of the network's input, each a plane of 16-bit floats.
inline constexpr std::size_t kSRChannelCount = 8;

// Textures 0 and 1 are the sources, texture 2 the destination. Each source is a premultiplied
// image over a background colour B that shows where it is not covered, its coverage in alpha:
// source = image + (1 - alpha) * B, as a render pass that clears to (B, 0) and blends one /
// one-minus-source-alpha leaves it. Buffer 0 holds B's red, green and blue (three floats; black
// when not bound). Over the destination's pixels, source 2 over source 1 over B:
//   rgb   = s2.rgb + (1 - s2.a) * (s1.rgb - B)
//   alpha = s2.a + (1 - s2.a) * s1.a
// so a pixel a source does not cover adds nothing of that source, and where neither covers the
// destination holds (B, 0), like either source. A pixel outside a source reads as uncovered.
void compositeTextures(const platform::gpu::KernelInput& in);

// Textures 0, 1 and 2 are the splat pass's feature textures (sr_splat_shaders.hpp); buffer 0
// receives the network input: channel c of pixel (x, y) at half index c * H * W + y * W + x,
// W x H the size of texture 0, with channels (t0.r, t0.g, t0.b, t1.r, t1.g, t1.b, t2.r, t2.g).
// A texture that is not bound, or a pixel outside it, gives 0; a buffer shorter than 8 * W * H
// halves is not written.
void computeSRMultiChannel(const platform::gpu::KernelInput& in);

} // namespace shaders

} // namespace MivoKit
