#include "kit/model/splat_memory_buffer.hpp"
#include "platform/memory/recycled_blocks.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace MivoKit;
using namespace MivoKit::platform::memory;

namespace {

constexpr std::size_t kLarge = RecycledBlocks::kMinBytes * 2;

TEST(RecycledBlocks, HandsAKeptBlockOutOnceAndOnlyForItsOwnSizeAndAlignment) {
    RecycledBlocks blocks(4);
    void* kept = blocks.allocate(kLarge, 64);
    blocks.deallocate(kept, kLarge, 64);
    EXPECT_EQ(blocks.keptCount(), 1u);

    // Another size or alignment must not get the kept block: it would be too small or misaligned.
    void* larger = blocks.allocate(kLarge + 128, 64);
    void* moreAligned = blocks.allocate(kLarge, 4096);
    EXPECT_NE(larger, kept);
    EXPECT_NE(moreAligned, kept);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(moreAligned) % 4096, 0u);
    EXPECT_EQ(blocks.keptCount(), 1u);

    void* reused = blocks.allocate(kLarge, 64);
    void* fresh = blocks.allocate(kLarge, 64);
    EXPECT_EQ(reused, kept);
    EXPECT_NE(fresh, kept);
    EXPECT_EQ(blocks.keptCount(), 0u);

    blocks.deallocate(larger, kLarge + 128, 64);
    blocks.deallocate(moreAligned, kLarge, 4096);
    blocks.deallocate(reused, kLarge, 64);
    blocks.deallocate(fresh, kLarge, 64);
}

TEST(RecycledBlocks, KeepsAtMostItsLimitDroppingTheOldestAndNoSmallBlocks) {
    RecycledBlocks blocks(2);
    void* small = blocks.allocate(4096, 64);
    blocks.deallocate(small, 4096, 64);
    EXPECT_EQ(blocks.keptCount(), 0u);

    void* first = blocks.allocate(kLarge, 64);
    void* second = blocks.allocate(kLarge, 64);
    void* third = blocks.allocate(kLarge, 64);
    blocks.deallocate(first, kLarge, 64);
    blocks.deallocate(second, kLarge, 64);
    blocks.deallocate(third, kLarge, 64);
    EXPECT_EQ(blocks.keptCount(), 2u);
    const std::set<void*> handedOut{blocks.allocate(kLarge, 64), blocks.allocate(kLarge, 64)};
    EXPECT_EQ(handedOut, (std::set<void*>{second, third}));
    for (void* block : handedOut) blocks.deallocate(block, kLarge, 64);
}

// Frames are made and dropped on several threads at once: no block may be live twice, and what a
// thread writes into its block must still be there when it frees it.
TEST(RecycledBlocks, ConcurrentUsersNeverShareABlock) {
    RecycledBlocks blocks(3);
    std::mutex liveMutex;
    std::set<void*> live;
    std::atomic<int> sharedBlocks{0}, overwritten{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                // Two sizes, so a block of the wrong size handed out would show as an overwrite.
                const std::size_t bytes = (i + t) % 2 ? kLarge : kLarge / 2 + 4096;
                auto* block = static_cast<std::uint8_t*>(blocks.allocate(bytes, 64));
                {
                    std::lock_guard lock(liveMutex);
                    if (!live.insert(block).second) ++sharedBlocks;
                }
                std::memset(block, t + 1, bytes);
                std::this_thread::yield();
                if (block[0] != t + 1 || block[bytes / 2] != t + 1 || block[bytes - 1] != t + 1) ++overwritten;
                {
                    std::lock_guard lock(liveMutex);
                    live.erase(block);
                }
                blocks.deallocate(block, bytes, 64);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sharedBlocks.load(), 0);
    EXPECT_EQ(overwritten.load(), 0);
    EXPECT_LE(blocks.keptCount(), 3u);
}

TEST(RecycledBlocks, ASplatListReusesTheStorageOfTheListFreedBeforeIt) {
    const std::size_t count = kLarge / sizeof(SplatScenePoint);
    const SplatScenePoint* previous = nullptr;
    {
        SplatPointList frame(count);
        previous = frame.data();
    }
    SplatPointList next(count);
    EXPECT_EQ(next.data(), previous);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(next.data()) % alignof(SplatScenePoint), 0u);
}

} // namespace
