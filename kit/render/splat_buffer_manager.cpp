#include "kit/render/splat_buffer_manager.hpp"

#include "platform/dispatch/parallel_for.hpp"

#include <bit>
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

bool SplatBufferManager::Contents::known() const { return object != nullptr; }

bool SplatBufferManager::Contents::operator==(const Contents& other) const {
    // The pointer tells apart objects that share one owner; the owner tells apart objects that
    // come one after another at the same address (the weak reference keeps an owner's identity
    // from being reused).
    const bool sameSource = object == other.object && !source.owner_before(other.source) &&
                            !other.source.owner_before(source);
    const auto sameDirection = [](const std::optional<simd::float3>& a, const std::optional<simd::float3>& b) {
        if (!a || !b) return !a && !b;
        return std::bit_cast<std::uint32_t>(a->x) == std::bit_cast<std::uint32_t>(b->x) &&
               std::bit_cast<std::uint32_t>(a->y) == std::bit_cast<std::uint32_t>(b->y) &&
               std::bit_cast<std::uint32_t>(a->z) == std::bit_cast<std::uint32_t>(b->z);
    };
    return sameSource && colorFormat == other.colorFormat && sameDirection(sortedAlong, other.sortedAlong);
}

void SplatBufferManager::swapBuffers() {
    std::swap(splatBuffer, splatBufferPrime);
    std::swap(contents_, primeContents_);
}

void SplatBufferManager::add(std::span<const SplatScenePoint> points) {
    MetalBuffer<Splat>& buffer = *splatBuffer;
    contents_ = {};
    const std::size_t needed = buffer.count + points.size();
    if (buffer.capacity() < needed) buffer.ensureCapacity(needed);
    buffer.prepareForCPUWrite();
    convert(points, ColorFormat::SRGB, buffer.values() + buffer.count);
    buffer.count = needed;
}

void SplatBufferManager::convertIntoPrime(const SplatMemoryBuffer& memory, ColorFormat colorFormat, Contents contents) {
    MetalBuffer<Splat>& prime = *splatBufferPrime;
    primeContents_ = {}; // from here on it may no longer hold what it held
    prime.ensureCapacity(memory.points.size());
    prime.prepareForCPUWrite();
    prime.count = 0;
    convert(memory.points, colorFormat, prime.values());
    prime.count = memory.points.size();
    ++conversionsRun_;
    primeContents_ = std::move(contents);
    swapBuffers();
}

void SplatBufferManager::update(const SplatMemoryBuffer& memory, ColorFormat colorFormat) {
    convertIntoPrime(memory, colorFormat, {});
}

void SplatBufferManager::update(const std::shared_ptr<const SplatMemoryBuffer>& memory, ColorFormat colorFormat) {
    if (!memory) return update(SplatMemoryBuffer(), colorFormat);
    Contents wanted{memory, memory.get(), colorFormat, std::nullopt};
    if (primeContents_ == wanted) return swapBuffers();
    convertIntoPrime(*memory, colorFormat, std::move(wanted));
}

void SplatBufferManager::reset() {
    contents_ = {};
    splatBuffer->count = 0;
    try {
        splatBuffer->ensureCapacity(0);
    } catch (const MetalBufferError&) {
    }
}

void SplatBufferManager::sortSplats(simd::float3 d) {
    const std::size_t n = splatBuffer->count;
    if (n == 0) return;
    // Known records in point order sort to known records; a second sort of sorted records is not
    // remembered (equal depths would come out in the other order).
    Contents sorted;
    if (contents_.known() && !contents_.sortedAlong) {
        sorted = contents_;
        sorted.sortedAlong = d;
        if (primeContents_ == sorted) return swapBuffers();
    }
    sortIndicesByDepth(n, keys_, order_, {d.x, d.y, d.z, 1.0f}, splatBuffer->values(), scratch_);
    primeContents_ = {};
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
    ++sortsRun_;
    primeContents_ = std::move(sorted);
    swapBuffers();
}

} // namespace MivoKit
