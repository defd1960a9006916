#pragma once
// The offscreen splat shaders of the super-resolution road: the same projection and Gaussian as
// the direct pair (splat_shaders.hpp), with the same bindings, writing three colour attachments of
// premultiplied values that blend one / one-minus-source-alpha:
//   attachment 0: (r, g, b, 1) * alpha   the colour
//   attachment 1: (f3, f4, f5, 1) * alpha
//   attachment 2: (f6, f7, 0, 1) * alpha
// where f3 ... f7 are the splat's super-resolution features 3 to 7. Every attachment carries the
// fragment's alpha in its alpha channel, because its blend reads its own source alpha: that is
// what makes each feature composite exactly like the colour. Features 0 to 2 of a splat repeat its
// colour, so the packing kernel rebuilds all eight network channels as
// (r, g, b, f3, f4, f5, f6, f7) (sr_compute_kernels.hpp).

#include "platform/gpu/shader.hpp"

#include <memory>

namespace MivoKit {

namespace shaders {

void srSplatVertexShader(const platform::gpu::VertexInput& in, platform::gpu::VertexOutput& out);
bool srSplatFragmentShader(const platform::gpu::FragmentInput& in, platform::gpu::FragmentOutput& out);
// The direct pair's varyings followed by features 3 to 7.
inline constexpr std::size_t kSRSplatVaryingCount = 11;
// Colour attachments the pair writes.
inline constexpr std::size_t kSRSplatAttachmentCount = 3;

// The same drawing as one set-up per splat and one loop per tile.
std::shared_ptr<const platform::gpu::FusedDraw> makeSRSplatFusedDraw();

} // namespace shaders

} // namespace MivoKit
