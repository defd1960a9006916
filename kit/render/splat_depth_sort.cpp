// The depth sort of SplatBufferManager: a least-significant-digit radix sort of 32-bit depth keys
// in three 11-bit passes, each pass split over contiguous parts of the array that run on several
// threads. A part's elements of one bucket go after the same bucket's elements of every earlier
// part, so each pass is stable however many parts there are, and the order is that of one thread.

#include "kit/render/splat_buffer_manager.hpp"

#include "platform/dispatch/dispatch.hpp"
#include "platform/dispatch/parallel_for.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace MivoKit {

namespace {

constexpr int kBits = 11, kBuckets = 1 << kBits, kPasses = 3;
constexpr std::uint32_t kDigitMask = kBuckets - 1;
// Below this many elements per part, waking another thread costs more than it saves.
constexpr std::size_t kMinPart = 8192;
constexpr std::size_t kMaxParts = 64;

// A key whose unsigned order is the order of the float depths: -0 equals +0, NaN after +infinity.
std::uint32_t depthKey(float depth) {
    if (std::isnan(depth)) return 0xffffffffu;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(depth + 0.0f); // -0 becomes +0
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

struct Part {
    std::size_t begin, end;
};

} // namespace

void SplatBufferManager::sortIndicesByDepth(std::size_t count, std::vector<std::uint32_t>& keys,
                                            std::vector<std::uint32_t>& order, simd::float4 plane,
                                            const Splat* splats, std::vector<std::uint32_t>& scratch) {
    const std::size_t threads = std::max(1u, platform::dispatch::backgroundThreadCount());
    const std::size_t parts = std::clamp<std::size_t>(count / kMinPart, 1, std::min(threads, kMaxParts));
    const auto partOf = [&](std::size_t p) { return Part{count * p / parts, count * (p + 1) / parts}; };

    // scratch: the second index array, then one histogram per part (the bucket counts of the pass
    // being run, turned into the part's write positions).
    keys.resize(2 * count);
    order.resize(count);
    scratch.resize(count + parts * kBuckets);
    std::uint32_t* const histograms = scratch.data() + count;
    std::uint32_t* keyArrays[2] = {keys.data(), keys.data() + count};
    std::uint32_t* indexArrays[2] = {order.data(), scratch.data()};

    // Which bits differ between any two keys, per part, to skip passes whose digit never varies
    // (nothing would move).
    std::uint32_t bitsOr[kMaxParts], bitsAnd[kMaxParts];
    bool runs[kPasses] = {};
    int source[kPasses] = {}; // which of the two arrays each pass reads

    const auto countDigits = [&](std::size_t p, int pass) {
        std::uint32_t* h = histograms + p * kBuckets;
        std::fill_n(h, kBuckets, 0u);
        const std::uint32_t* key = keyArrays[source[pass]];
        const int shift = pass * kBits;
        const Part part = partOf(p);
        for (std::size_t i = part.begin; i < part.end; ++i) ++h[(key[i] >> shift) & kDigitMask];
    };
    auto makeKeys = [&](std::size_t p0, std::size_t p1) {
        for (std::size_t p = p0; p < p1; ++p) {
            const Part part = partOf(p);
            std::uint32_t* key = keyArrays[0];
            std::uint32_t* index = indexArrays[0];
            std::uint32_t any = 0, all = 0xffffffffu;
            for (std::size_t i = part.begin; i < part.end; ++i) {
                const PackedFloat3& at = splats[i].position;
                const std::uint32_t k = depthKey(plane.x * at.x + plane.y * at.y + plane.z * at.z + plane.w);
                key[i] = k;
                index[i] = static_cast<std::uint32_t>(i);
                any |= k;
                all &= k;
            }
            bitsOr[p] = any;
            bitsAnd[p] = all;
            countDigits(p, 0);
        }
    };
    // Bucket by bucket, part by part: each part's write position for each bucket.
    const auto placeBuckets = [&](int pass) {
        if (!runs[pass]) return;
        std::uint32_t running = 0;
        for (int b = 0; b < kBuckets; ++b)
            for (std::size_t p = 0; p < parts; ++p) running += std::exchange(histograms[p * kBuckets + b], running);
    };
    auto planPasses = [&](std::size_t, std::size_t) {
        std::uint32_t any = 0, all = 0xffffffffu;
        for (std::size_t p = 0; p < parts; ++p) any |= bitsOr[p], all &= bitsAnd[p];
        int current = 0;
        for (int pass = 0; pass < kPasses; ++pass) {
            runs[pass] = (((any ^ all) >> (pass * kBits)) & kDigitMask) != 0;
            source[pass] = current;
            if (runs[pass]) current ^= 1;
        }
        placeBuckets(0);
    };
    const auto scatter = [&](std::size_t p0, std::size_t p1, int pass) {
        if (!runs[pass]) return;
        const int from = source[pass];
        const std::uint32_t* keyIn = keyArrays[from];
        const std::uint32_t* indexIn = indexArrays[from];
        std::uint32_t* keyOut = keyArrays[from ^ 1];
        std::uint32_t* indexOut = indexArrays[from ^ 1];
        const int shift = pass * kBits;
        for (std::size_t p = p0; p < p1; ++p) {
            std::uint32_t* position = histograms + p * kBuckets;
            const Part part = partOf(p);
            for (std::size_t i = part.begin; i < part.end; ++i) {
                const std::uint32_t slot = position[(keyIn[i] >> shift) & kDigitMask]++;
                keyOut[slot] = keyIn[i];
                indexOut[slot] = indexIn[i];
            }
        }
    };
    const auto countPass = [&](std::size_t p0, std::size_t p1, int pass) {
        if (!runs[pass]) return;
        for (std::size_t p = p0; p < p1; ++p) countDigits(p, pass);
    };
    auto scatter0 = [&](std::size_t p0, std::size_t p1) { scatter(p0, p1, 0); };
    auto count1 = [&](std::size_t p0, std::size_t p1) { countPass(p0, p1, 1); };
    auto place1 = [&](std::size_t, std::size_t) { placeBuckets(1); };
    auto scatter1 = [&](std::size_t p0, std::size_t p1) { scatter(p0, p1, 1); };
    auto count2 = [&](std::size_t p0, std::size_t p1) { countPass(p0, p1, 2); };
    auto place2 = [&](std::size_t, std::size_t) { placeBuckets(2); };
    auto scatter2 = [&](std::size_t p0, std::size_t p1) { scatter(p0, p1, 2); };

    using platform::dispatch::Chunking;
    using platform::dispatch::parallelStage;
    constexpr Chunking kOne = Chunking::exact;
    platform::dispatch::parallelStages(
        0, {parallelStage(parts, 1, makeKeys, kOne), parallelStage(1, 1, planPasses, kOne),
            parallelStage(parts, 1, scatter0, kOne), parallelStage(parts, 1, count1, kOne),
            parallelStage(1, 1, place1, kOne), parallelStage(parts, 1, scatter1, kOne),
            parallelStage(parts, 1, count2, kOne), parallelStage(1, 1, place2, kOne),
            parallelStage(parts, 1, scatter2, kOne)});

    const int result = runs[kPasses - 1] ? source[kPasses - 1] ^ 1 : source[kPasses - 1];
    if (result != 0) std::copy(indexArrays[1], indexArrays[1] + count, order.data());
}

} // namespace MivoKit
