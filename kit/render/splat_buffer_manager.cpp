#include "kit/render/splat_buffer_manager.hpp"

#include "platform/dispatch/parallel_for.hpp"

#include <bit>
#include <cmath>
#include <utility>

namespace MivoKit {

namespace {

// Points per task when converting or copying on several threads.
constexpr std::size_t kGrain = 4096;

// A key whose unsigned order is the order of the float depths: -0 equals +0, NaN after +infinity.
std::uint32_t depthKey(float depth) {
    if (std::isnan(depth)) return 0xffffffffu;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(depth + 0.0f); // -0 becomes +0
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

} // namespace

SplatBufferManager::SplatBufferManager(std::shared_ptr<platform::gpu::Device> device, std::size_t initialCapacity)
    : splatBuffer(std::make_shared<MetalBuffer<Splat>>(device, initialCapacity)),
      splatBufferPrime(std::make_shared<MetalBuffer<Splat>>(device, initialCapacity)) {}

void SplatBufferManager::convert(std::span<const SplatScenePoint> points, ColorFormat colorFormat, Splat* target) {
    platform::dispatch::parallelFor(points.size(), kGrain, 0, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) target[i] = Splat(points[i], colorFormat);
    });
}

void SplatBufferManager::add(std::span<const SplatScenePoint> points) {
    MetalBuffer<Splat>& buffer = *splatBuffer;
    const std::size_t needed = buffer.count + points.size();
    if (buffer.capacity() < needed) buffer.ensureCapacity(needed);
    buffer.prepareForCPUWrite();
    convert(points, ColorFormat::SRGB, buffer.values() + buffer.count);
    buffer.count = needed;
}

void SplatBufferManager::update(const SplatMemoryBuffer& memory, ColorFormat colorFormat) {
    MetalBuffer<Splat>& prime = *splatBufferPrime;
    prime.ensureCapacity(memory.points.size());
    prime.prepareForCPUWrite();
    prime.count = 0;
    convert(memory.points, colorFormat, prime.values());
    prime.count = memory.points.size();
    std::swap(splatBuffer, splatBufferPrime);
}

void SplatBufferManager::reset() {
    splatBuffer->count = 0;
    try {
        splatBuffer->ensureCapacity(0);
    } catch (const MetalBufferError&) {
    }
}

void SplatBufferManager::sortSplats(simd::float3 d) {
    const std::size_t n = splatBuffer->count;
    if (n == 0) return;
    sortIndicesByDepth(n, keys_, order_, {d.x, d.y, d.z, 1.0f}, splatBuffer->values(), scratch_);
    try {
        splatBufferPrime->ensureCapacity(n);
        splatBufferPrime->prepareForCPUWrite();
    } catch (const MetalBufferError&) {
        return;
    }
    MetalBuffer<Splat>& prime = *splatBufferPrime;
    prime.count = 0;
    const Splat* source = splatBuffer->values();
    Splat* target = prime.values();
    const std::uint32_t* order = order_.data();
    platform::dispatch::parallelFor(n, kGrain, 0, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) target[i] = source[order[n - 1 - i]];
    });
    prime.count = n;
    std::swap(splatBuffer, splatBufferPrime);
}

void SplatBufferManager::sortIndicesByDepth(std::size_t count, std::vector<std::uint32_t>& keys,
                                            std::vector<std::uint32_t>& order, simd::float4 plane,
                                            const Splat* splats, std::vector<std::uint32_t>& scratch) {
    // Least-significant-digit radix sort of the depth keys in three 11-bit passes. Each pass is
    // stable, so equal depths keep ascending index order: the result equals a stable sort by depth.
    keys.resize(2 * count);
    order.resize(count);
    scratch.resize(count);
    std::uint32_t* keyA = keys.data();
    std::uint32_t* keyB = keys.data() + count;
    std::uint32_t* indexA = order.data();
    std::uint32_t* indexB = scratch.data();

    constexpr int kBits = 11, kBuckets = 1 << kBits, kPasses = 3;
    std::uint32_t histogram[kPasses][kBuckets] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const PackedFloat3& p = splats[i].position;
        const float depth = plane.x * p.x + plane.y * p.y + plane.z * p.z + plane.w;
        const std::uint32_t key = depthKey(depth);
        keyA[i] = key;
        indexA[i] = static_cast<std::uint32_t>(i);
        for (int pass = 0; pass < kPasses; ++pass) ++histogram[pass][(key >> (pass * kBits)) & (kBuckets - 1)];
    }
    for (int pass = 0; pass < kPasses; ++pass) {
        std::uint32_t* h = histogram[pass];
        const int shift = pass * kBits;
        if (h[(keyA[0] >> shift) & (kBuckets - 1)] == count) continue; // one bucket: nothing moves
        std::uint32_t running = 0;
        for (int b = 0; b < kBuckets; ++b) running += std::exchange(h[b], running);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t slot = h[(keyA[i] >> shift) & (kBuckets - 1)]++;
            keyB[slot] = keyA[i];
            indexB[slot] = indexA[i];
        }
        std::swap(keyA, keyB);
        std::swap(indexA, indexB);
    }
    if (indexA != order.data()) std::copy(indexA, indexA + count, order.data());
}

} // namespace MivoKit
