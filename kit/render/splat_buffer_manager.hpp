#pragma once
// The splats of one renderer in two GPU buffers: splatBuffer is drawn, splatBufferPrime receives
// new or re-ordered records, then the two swap roles. Every frame the splats are re-sorted so that
// the GPU draws them farthest first along the camera's viewing direction.

#include "kit/model/splat_memory_buffer.hpp"
#include "kit/render/metal_buffer.hpp"
#include "kit/render/splat.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace MivoKit {

class SplatBufferManager {
public:
    // Both buffers start with `initialCapacity` elements (at least 1). Throws MetalBufferError.
    explicit SplatBufferManager(std::shared_ptr<platform::gpu::Device> device, std::size_t initialCapacity = 1);

    std::shared_ptr<MetalBuffer<Splat>> splatBuffer;
    std::shared_ptr<MetalBuffer<Splat>> splatBufferPrime;

    // Appends the points' records (colours read as sRGB, always) behind the existing ones. On an
    // allocation error nothing is appended and the error is thrown.
    void add(std::span<const SplatScenePoint> points);
    // Replaces every splat with the buffer's points, in point order. On an allocation error nothing
    // changes and the error is thrown.
    void update(const SplatMemoryBuffer& buffer, ColorFormat colorFormat);
    // Empties splatBuffer: count 0, then capacity 1 (an allocation error is dropped).
    void reset();
    // Re-orders splatBuffer farthest first along `depthPlane` (the view direction); among equal
    // depths the higher index comes first. Allocation errors are dropped and leave the order as it was.
    void sortSplats(simd::float3 depthPlane);

    // Fills `order` with the indices of splats[0 ..< count] by ascending depth
    // plane.x * x + plane.y * y + plane.z * z + plane.w (single precision), equal depths in
    // ascending index order: exactly a stable sort by depth. NaN depths come after every other
    // depth. Uses `keys` and `scratch` as working memory.
    static void sortIndicesByDepth(std::size_t count, std::vector<std::uint32_t>& keys,
                                   std::vector<std::uint32_t>& order, simd::float4 plane, const Splat* splats,
                                   std::vector<std::uint32_t>& scratch);

private:
    // Converts points into target[0 ..< points.size()], on every core.
    static void convert(std::span<const SplatScenePoint> points, ColorFormat colorFormat, Splat* target);

    std::vector<std::uint32_t> keys_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> scratch_;
};

} // namespace MivoKit
