#pragma once
// Small shader functions for the GPU tests: flat-coloured triangles and a grid-filling kernel.

#include "platform/gpu/device.hpp"

#include <atomic>
#include <vector>

using namespace MivoKit;

namespace gputest {

using namespace platform::gpu;

// Vertex buffer 0: clip-space float4 per vertex; buffer 1: one float4 colour per instance.
inline void flatVertex(const VertexInput& in, VertexOutput& out) {
    const auto* positions = reinterpret_cast<const simd::float4*>(in.bindings->buffers[0].data);
    const auto* colors = reinterpret_cast<const simd::float4*>(in.bindings->buffers[1].data);
    out.position = positions[in.vertexId];
    const simd::float4 c = colors[in.instanceId];
    out.varyings = {c.x, c.y, c.z, c.w};
}

inline bool flatFragment(const FragmentInput& in, FragmentOutput& out) {
    out.color[0] = {in.varyings[0], in.varyings[1], in.varyings[2], in.varyings[3]};
    return true;
}

// Writes (x / 255, y / 255, 0, 1) to texture 0 and counts the visits of each pixel in buffer 0.
inline void fillKernel(const KernelInput& in) {
    Texture* texture = in.bindings->textures[0];
    const UInt3 p = in.threadPositionInGrid;
    if (p.x >= texture->width() || p.y >= texture->height()) return;
    texture->write({p.x / 255.0f, p.y / 255.0f, 0, 1}, p.x, p.y);
    auto* counts = reinterpret_cast<std::uint32_t*>(const_cast<std::byte*>(in.bindings->buffers[0].data));
    std::atomic_ref<std::uint32_t>(counts[p.y * texture->width() + p.x]).fetch_add(1);
}

inline std::shared_ptr<Library> testLibrary(Device& device) {
    LibrarySource source;
    source.functions = {{"flatVertex", &flatVertex, 4}, {"flatFragment", &flatFragment, 0}, {"fill", &fillKernel, 0}};
    return device.makeLibrary(std::move(source));
}

inline std::shared_ptr<Buffer> bufferOf(Device& device, const std::vector<simd::float4>& values) {
    auto buffer = device.makeBuffer(values.size() * sizeof(simd::float4));
    std::copy(values.begin(), values.end(), reinterpret_cast<simd::float4*>(buffer->contents()));
    return buffer;
}

} // namespace gputest
