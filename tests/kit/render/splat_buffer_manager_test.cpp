// The two splat buffers and the back-to-front depth sort, against a stable sort as the oracle.

#include "render_fixture.hpp"

#include "kit/render/splat_buffer_manager.hpp"
#include "platform/gpu/half.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>

using namespace MivoKit;

using namespace rendertest;

namespace {

SplatScenePoint at(float x, float y, float z, std::uint8_t tag = 0) {
    SplatScenePoint p;
    p.position = {x, y, z};
    p.color = SplatScenePoint::Color::LinearUInt8{tag, 0, 0};
    p.opacity = SplatScenePoint::Opacity::LinearFloat{1};
    p.scale = SplatScenePoint::Scale::LinearFloat{1, 1, 1};
    return p;
}

// The draw order the sort must give: a stable ascending sort by depth, reversed.
std::vector<std::size_t> oracle(const SplatPointList& points, simd::float3 d) {
    std::vector<float> depth;
    for (const auto& p : points) depth.push_back(d.x * p.position.x + d.y * p.position.y + d.z * p.position.z + 1.0f);
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (std::isnan(depth[a])) return false;
        if (std::isnan(depth[b])) return true;
        return depth[a] < depth[b];
    });
    std::reverse(order.begin(), order.end());
    return order;
}

// Gives every point a colour that names its index (red = low byte, green = high byte).
SplatPointList tagged(SplatPointList points) {
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i].color = SplatScenePoint::Color::LinearUInt8{std::uint8_t(i % 256), std::uint8_t(i / 256), 0};
    return points;
}

// The point index behind each drawn record, read back from its colour (points made by tagged()).
std::vector<std::size_t> drawOrder(const SplatBufferManager& manager, const SplatPointList&) {
    std::map<std::uint16_t, std::size_t> byteOf;
    for (int b = 0; b < 256; ++b) byteOf[platform::gpu::floatToHalf(b / 255.0f)] = std::size_t(b);
    std::vector<std::size_t> order;
    const auto& buffer = *manager.splatBuffer;
    for (std::size_t i = 0; i < buffer.count; ++i)
        order.push_back(byteOf.at(buffer.values()[i].color.r) + 256 * byteOf.at(buffer.values()[i].color.g));
    return order;
}

SplatMemoryBuffer memoryOf(SplatPointList points) {
    SplatMemoryBuffer m;
    m.points = std::move(points);
    return m;
}

TEST(DepthSort, RandomCloudsMatchTheStableSortOracle) {
    std::mt19937 rng(5);
    auto device = makeDevice();
    SplatBufferManager manager(device);
    for (int round = 0; round < 6; ++round) {
        std::uniform_real_distribution<float> coordinate(-3, 3);
        SplatPointList points;
        for (int i = 0; i < 2000; ++i) {
            // Many ties: coordinates on a coarse grid in some rounds.
            float x = coordinate(rng), y = coordinate(rng), z = coordinate(rng);
            if (round % 2) x = std::round(x), y = std::round(y), z = std::round(z);
            points.push_back(at(x + i * 1e-3f * (round % 2), y, z));
        }
        points = tagged(points);
        const simd::float3 d = round < 2 ? simd::float3{0, 0, -1}
                                         : simd::float3{coordinate(rng), coordinate(rng), coordinate(rng)} * (1.0f / 5.2f);
        manager.update(memoryOf(points), ColorFormat::RGB);
        manager.sortSplats(d);
        const auto got = drawOrder(manager, points), want = oracle(points, d);
        for (std::size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], want[i]) << "round " << round << " position " << i;
    }
}

TEST(DepthSort, SmallCasesTiesAndTinyDifferences) {
    auto device = makeDevice();
    SplatBufferManager manager(device);
    const simd::float3 forward{0, 0, 1};

    manager.sortSplats(forward); // nothing to sort
    EXPECT_EQ(manager.splatBuffer->count, 0u);

    auto one = tagged({at(0, 0, 4)});
    manager.update(memoryOf(one), ColorFormat::RGB);
    manager.sortSplats(forward);
    EXPECT_EQ(drawOrder(manager, one), (std::vector<std::size_t>{0}));

    // Depths 1, 3, 2 are drawn 3, 2, 1; equal depths higher index first.
    auto three = tagged({at(0, 0, 0), at(1, 0, 2), at(2, 0, 1), at(3, 0, 2)});
    manager.update(memoryOf(three), ColorFormat::RGB);
    manager.sortSplats(forward);
    EXPECT_EQ(drawOrder(manager, three), (std::vector<std::size_t>{3, 1, 2, 0}));

    // Closer than one fixed-point step of 1/4096 and still ordered by their exact depths.
    auto close = tagged({at(0, 0, 1.0001f), at(1, 0, 1.00005f), at(2, 0, 5)});
    manager.update(memoryOf(close), ColorFormat::RGB);
    manager.sortSplats(forward);
    EXPECT_EQ(drawOrder(manager, close), (std::vector<std::size_t>{2, 0, 1}));
}

TEST(DepthSort, WideRangesAndNonFiniteCentresKeepAFixedOrder) {
    auto device = makeDevice();
    SplatBufferManager manager(device);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    // Beyond +-524,288 units a 32-bit fixed-point depth would overflow.
    auto points = tagged({at(0, 0, 1e9f),  at(1, 0, nan), at(2, 0, -1e9f), at(3, 0, 3),
                              at(4, 0, -inf), at(5, 0, nan), at(6, 0, inf),   at(7, 0, -0.0f), at(8, 0, 0.0f)});
    manager.update(memoryOf(points), ColorFormat::RGB);
    manager.sortSplats({0, 0, 1});
    // NaN depths are drawn first (in descending index order), then farthest to nearest.
    EXPECT_EQ(drawOrder(manager, points), (std::vector<std::size_t>{5, 1, 6, 0, 3, 8, 7, 2, 4}));
    EXPECT_EQ(drawOrder(manager, points), oracle(points, {0, 0, 1}));
}

// The sort splits large inputs over threads; every split must give the one stable order. Hostile
// inputs: long runs of equal keys, keys equal in their low or high digits only, NaN, infinities and
// signed zeros, counts from empty to far beyond one part per thread, working memory reused while
// the count shrinks and grows.
TEST(DepthSort, IndexOrderIsTheStableOrderForEveryCountAndKeyPattern) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const simd::float4 plane{0, 0, 1, 0.5f};
    std::mt19937 rng(11);
    std::vector<std::uint32_t> keys, order, scratch;
    const auto depthOf = [](int pattern, std::size_t i, std::mt19937& r) -> float {
        switch (pattern) {
        case 0: return 2.0f; // all equal
        case 1: return float(r() % 3); // three values, long runs of ties
        case 2: { // a few special values among ties
            const float special[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(), -0.0f, 0.0f, -0.5f, 1e30f};
            return special[r() % 7];
        }
        case 3: return std::bit_cast<float>(0x3f800000u | std::uint32_t(r() % 2048)); // only the low digit varies
        case 4: return std::bit_cast<float>(0x3f800000u + (std::uint32_t(r() % 16) << 22)); // only the high digit
        case 5: return i % 2 ? -float(i) : float(i); // no ties, both signs
        default: return std::uniform_real_distribution<float>(-1e3f, 1e3f)(r);
        }
    };
    const std::size_t counts[] = {0, 1, 2, 5, 8191, 8192, 16385, 65537, 300001, 1u << 20, 3};
    for (const std::size_t count : counts) {
        for (int pattern = 0; pattern < 7; ++pattern) {
            std::vector<Splat> splats(count);
            std::vector<float> depth(count);
            for (std::size_t i = 0; i < count; ++i) {
                const float z = depthOf(pattern, i, rng);
                splats[i].position = {float(i % 7), -1.0f, z};
                depth[i] = plane.z * z + plane.w;
            }
            if (count > 4) splats[count / 2].position.z = nan, depth[count / 2] = nan;
            if (count > 4) splats[1].position.z = -inf, depth[1] = -inf;
            std::vector<std::uint32_t> want(count);
            std::iota(want.begin(), want.end(), 0u);
            std::stable_sort(want.begin(), want.end(), [&](std::uint32_t a, std::uint32_t b) {
                if (std::isnan(depth[a])) return false;
                return std::isnan(depth[b]) || depth[a] < depth[b];
            });
            SplatBufferManager::sortIndicesByDepth(count, keys, order, plane, splats.data(), scratch);
            ASSERT_EQ(order.size(), count);
            ASSERT_TRUE(std::equal(want.begin(), want.end(), order.begin()))
                << "count " << count << " pattern " << pattern << " first difference at "
                << std::mismatch(want.begin(), want.end(), order.begin()).first - want.begin();
        }
    }
}

TEST(SplatBuffers, AddReadsSRGBAndUpdateUsesTheGivenFormat) {
    auto device = makeDevice();
    SplatBufferManager manager(device);
    SplatScenePoint grey = at(0, 0, 0);
    grey.color = SplatScenePoint::Color::LinearUInt8{128, 128, 128};
    manager.add(std::vector{grey, grey});
    manager.add(std::vector{grey});
    ASSERT_EQ(manager.splatBuffer->count, 3u);
    EXPECT_NEAR(platform::gpu::halfToFloat(manager.splatBuffer->values()[2].color.r), 0.2195f, 2e-4);

    manager.update(memoryOf({grey}), ColorFormat::RGB);
    EXPECT_EQ(manager.splatBuffer->count, 1u);
    EXPECT_NEAR(platform::gpu::halfToFloat(manager.splatBuffer->values()[0].color.r), 0.5020f, 2e-4);

    manager.update(SplatMemoryBuffer{}, ColorFormat::RGB);
    EXPECT_EQ(manager.splatBuffer->count, 0u);
    EXPECT_EQ(manager.splatBuffer->capacity(), 1u);
}

TEST(SplatBuffers, NeitherUpdateNorSortOverwritesABufferAQueuedFrameStillReads) {
    auto device = makeDevice();
    SplatBufferManager manager(device);
    SplatPointList points{at(0, 0, 1, 10), at(0, 0, 2, 20), at(0, 0, 3, 30)};
    auto queue = device->makeCommandQueue();
    std::vector<std::shared_ptr<CommandBuffer>> inFlight;
    std::vector<std::vector<std::uint8_t>> snapshots;
    // Three frames queued and not yet executed: each keeps the records it was encoded with.
    for (int frame = 0; frame < 3; ++frame) {
        for (auto& p : points) std::get<SplatScenePoint::Color::LinearUInt8>(p.color).g = std::uint8_t(frame);
        manager.update(memoryOf(points), ColorFormat::RGB);
        manager.sortSplats({0, 0, 1});
        auto commandBuffer = queue->makeCommandBuffer();
        auto encoder = commandBuffer->makeComputeCommandEncoder();
        encoder->setBuffer(manager.splatBuffer->buffer(), 0, 1);
        encoder->endEncoding();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(manager.splatBuffer->buffer()->contents());
        snapshots.emplace_back(bytes, bytes + 3 * sizeof(Splat));
        inFlight.push_back(commandBuffer);
    }
    for (std::size_t i = 0; i < inFlight.size(); ++i) {
        const auto& set = std::get<command::SetBuffer>(inFlight[i]->encoders()[0]->commands[0]);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(set.buffer->contents());
        EXPECT_TRUE(std::equal(snapshots[i].begin(), snapshots[i].end(), bytes)) << "frame " << i;
    }
    for (auto& c : inFlight) c->commit();
    for (auto& c : inFlight) c->waitUntilCompleted();
}

// What a caller can see of a manager: each buffer's count, capacity and records, and which of the
// two buffers it started with is drawn.
struct Observed {
    bool firstIsDrawn;
    std::size_t count, capacity, primeCount, primeCapacity;
    std::vector<std::uint8_t> records, primeRecords;
    friend bool operator==(const Observed&, const Observed&) = default;
};

Observed observe(const SplatBufferManager& manager, const MetalBuffer<Splat>* first) {
    const auto bytes = [](const MetalBuffer<Splat>& buffer) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(buffer.values());
        return std::vector<std::uint8_t>(data, data + buffer.count * sizeof(Splat));
    };
    return {manager.splatBuffer.get() == first, manager.splatBuffer->count, manager.splatBuffer->capacity(),
            manager.splatBufferPrime->count, manager.splatBufferPrime->capacity(), bytes(*manager.splatBuffer),
            bytes(*manager.splatBufferPrime)};
}

// A manager handed the same buffer object again keeps its records and sorted order; step by step
// it shows exactly what a manager that redoes every conversion and sort shows, ties included (a
// second sort of sorted records flips equal depths, so it is never taken as done), and buffer
// objects are told apart by owner and pointer, never by address alone.
TEST(SplatBuffers, KeptRecordsAndOrderAreThoseOfTheWorkRedone) {
    auto device = makeDevice();
    SplatBufferManager kept(device), redone(device);
    const MetalBuffer<Splat>* keptFirst = kept.splatBuffer.get();
    const MetalBuffer<Splat>* redoneFirst = redone.splatBuffer.get();
    // Pairs of splats at one place: equal depths, told apart by colour.
    SplatPointList cloud;
    for (int i = 0; i < 40; ++i) cloud.push_back(at(float(i % 7), float(i % 3), float(i % 5)));
    cloud = tagged(cloud);
    const auto frame = std::make_shared<const SplatMemoryBuffer>(memoryOf(cloud));
    SplatPointList otherCloud(cloud.begin(), cloud.begin() + 25);
    const auto other = std::make_shared<const SplatMemoryBuffer>(memoryOf(otherCloud));

    int step = 0;
    const auto check = [&](std::uint64_t conversions, std::uint64_t sorts) {
        ++step;
        ASSERT_EQ(observe(kept, keptFirst), observe(redone, redoneFirst)) << "step " << step;
        EXPECT_EQ(kept.conversionsRun(), conversions) << "step " << step;
        EXPECT_EQ(kept.sortsRun(), sorts) << "step " << step;
    };
    const auto update = [&](const std::shared_ptr<const SplatMemoryBuffer>& buffer) {
        kept.update(buffer, ColorFormat::RGB);
        redone.update(*buffer, ColorFormat::RGB);
    };
    const auto sort = [&](simd::float3 d) {
        kept.sortSplats(d);
        redone.sortSplats(d);
    };
    const simd::float3 forward{0, 0, -1}, turned{0.6f, 0, -0.8f};

    update(frame), check(1, 0);
    sort(forward), check(1, 1);
    update(frame), check(1, 1); // the spare still holds the frame's records
    sort(forward), check(1, 1); // and the other one their order
    sort(forward), check(1, 2); // sorted records sorted again: work
    update(frame), check(2, 2); // the spare holds the once-sorted order, not the records
    sort(forward), check(2, 3);
    update(frame), check(2, 3);
    sort(forward), check(2, 3);
    update(frame), check(2, 3);
    sort(turned), check(2, 4); // a new viewing direction
    update(other), check(3, 4);
    sort(turned), check(3, 5);
    update(std::make_shared<const SplatMemoryBuffer>(*frame)), check(4, 5); // equal points, another object
    sort(turned), check(4, 6);
    kept.add(cloud), redone.add(cloud), check(4, 6);
    sort(turned), check(4, 7);
    kept.reset(), redone.reset(), check(4, 7);
    update(frame), check(5, 7);
    sort(turned), check(5, 8);

    // One object at one address, first under one owner, then (changed) under another; then two
    // objects under one owner.
    struct Pair {
        SplatMemoryBuffer a, b;
    };
    auto pair = std::make_shared<Pair>();
    pair->a = memoryOf(cloud);
    pair->b = memoryOf(otherCloud);
    {
        const std::shared_ptr<const SplatMemoryBuffer> firstA(std::make_shared<int>(), &pair->a);
        update(firstA), check(6, 8);
        sort(turned), check(6, 9);
        update(firstA), check(6, 9);
        sort(turned), check(6, 9); // the spare now holds the records of `a` under the first owner
    }
    pair->a.points[0].position.z = 9;
    update(std::shared_ptr<const SplatMemoryBuffer>(std::make_shared<int>(), &pair->a)), check(7, 9);
    sort(turned), check(7, 10);
    update(std::shared_ptr<const SplatMemoryBuffer>(pair, &pair->a)), check(8, 10);
    sort(turned), check(8, 11);
    update(std::shared_ptr<const SplatMemoryBuffer>(pair, &pair->b)), check(9, 11);
}

} // namespace
