#pragma once
// The splats of one renderer in two GPU buffers: splatBuffer is drawn, splatBufferPrime receives
// new or re-ordered records, then the two swap roles. Every frame the splats are re-sorted so that
// the GPU draws them farthest first along the camera's viewing direction.
//
// Work is not repeated for an unchanged picture. The manager remembers what each buffer holds:
// the records of which buffer object (an immutable one, updated through its shared pointer), in
// which colour format, in point order or sorted once along which direction. An update or a sort
// whose result the spare buffer already holds writes nothing; the buffers swap roles all the same,
// so callers see the records, their order, the counts, capacities and roles that the work would
// have given. Buffer objects are told apart by their ownership (a weak reference keeps one from
// being mistaken for a later object at the same address), never by address. Records written to
// either buffer from outside the manager are not noticed: only the manager writes them.
//
// One thread (the one that renders); no locks.

#include "kit/model/splat_memory_buffer.hpp"
#include "kit/render/metal_buffer.hpp"
#include "kit/render/splat.hpp"

#include <cstdint>
#include <memory>
#include <optional>
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
    // The same for a buffer object that nobody changes; when the spare buffer already holds its
    // records in this format and in point order, they are kept instead of converted again. A null
    // buffer has no points.
    void update(const std::shared_ptr<const SplatMemoryBuffer>& buffer, ColorFormat colorFormat);
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

    // How many conversions and sorts ran (those found already done are not counted), for
    // measurements and tests.
    std::uint64_t conversionsRun() const { return conversionsRun_; }
    std::uint64_t sortsRun() const { return sortsRun_; }

private:
    // What a buffer holds, when the manager knows: the records of `source` in `colorFormat`, in
    // point order or sorted once along `sortedAlong`.
    struct Contents {
        std::weak_ptr<const SplatMemoryBuffer> source;
        const SplatMemoryBuffer* object = nullptr; // none: unknown
        ColorFormat colorFormat = ColorFormat::RGB;
        std::optional<simd::float3> sortedAlong;

        bool known() const;
        bool operator==(const Contents& other) const;
    };

    // Converts points into target[0 ..< points.size()], on every core.
    static void convert(std::span<const SplatScenePoint> points, ColorFormat colorFormat, Splat* target);
    // Converts into the spare buffer and swaps; the spare's contents become `contents`.
    void convertIntoPrime(const SplatMemoryBuffer& buffer, ColorFormat colorFormat, Contents contents);
    void swapBuffers();

    Contents contents_;      // of splatBuffer
    Contents primeContents_; // of splatBufferPrime
    std::uint64_t conversionsRun_ = 0;
    std::uint64_t sortsRun_ = 0;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> scratch_;
};

} // namespace MivoKit
