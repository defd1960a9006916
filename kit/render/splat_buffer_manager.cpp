#include "kit/render/splat_buffer_manager.hpp"

#include "platform/dispatch/parallel_for.hpp"

#include <utility>

namespace MivoKit {

namespace {

// Points per task when converting or copying on several threads.
constexpr std::size_t kGrain = 4096;

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

} // namespace MivoKit
