#pragma once
// The direct renderer's shader pair. Vertex buffer 0 is a uniform ring slot (UniformsArray),
// vertex buffer 1 the Splat records; each instance is one splat drawn as a 4-vertex strip
// covering its footprint to three standard deviations. Fragments carry premultiplied colour with
// alpha = min(0.99, opacity * gaussian) and are dropped under 1/255.

#include "platform/gpu/shader.hpp"

#include <memory>

namespace MivoKit {

namespace shaders {

void splatVertexShader(const platform::gpu::VertexInput& in, platform::gpu::VertexOutput& out);
bool splatFragmentShader(const platform::gpu::FragmentInput& in, platform::gpu::FragmentOutput& out);
// Varyings passed from the vertex to the fragment function.
inline constexpr std::size_t kSplatVaryingCount = 6;

// The same drawing as one set-up per splat and one loop per tile.
std::shared_ptr<const platform::gpu::FusedDraw> makeSplatFusedDraw();

} // namespace shaders

} // namespace MivoKit
