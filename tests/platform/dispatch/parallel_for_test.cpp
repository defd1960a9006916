#include "platform/dispatch/parallel_for.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace MivoKit;

namespace dispatch = platform::dispatch;

TEST(ParallelFor, CoversEveryIndexExactlyOnce) {
    for (std::size_t count : {0u, 1u, 7u, 1000u, 100003u}) {
        for (auto chunking : {dispatch::Chunking::balanced, dispatch::Chunking::exact}) {
            std::vector<std::atomic<int>> hits(count);
            dispatch::parallelFor(count, 64, 0, [&](std::size_t begin, std::size_t end) {
                ASSERT_LE(begin, end);
                ASSERT_LE(end, count);
                for (std::size_t i = begin; i < end; ++i) ++hits[i];
            }, chunking);
            for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << count << " " << i;
        }
    }
}

TEST(ParallelFor, ExactChunksHaveTheirSizeAndOneWorkerStaysOnTheCaller) {
    std::mutex m;
    std::set<std::size_t> sizes;
    dispatch::parallelFor(1000, 16, 0, [&](std::size_t begin, std::size_t end) {
        std::lock_guard lock(m);
        sizes.insert(end - begin);
    }, dispatch::Chunking::exact);
    EXPECT_EQ(sizes, (std::set<std::size_t>{8, 16})); // 62 chunks of 16 and the rest, 8

    const auto caller = std::this_thread::get_id();
    bool otherThread = false;
    dispatch::parallelFor(1000, 1, 1, [&](std::size_t, std::size_t) {
        otherThread |= std::this_thread::get_id() != caller;
    }, dispatch::Chunking::exact);
    EXPECT_FALSE(otherThread);
}

TEST(ParallelStages, NoChunkOfAStageStartsBeforeThePreviousStageEnded) {
    constexpr std::size_t n = 20000;
    std::vector<int> first(n, 0), second(n, 0);
    std::atomic<bool> sawUnfinished{false};
    auto fill = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) first[i] = 1;
    };
    auto check = [&](std::size_t begin, std::size_t end) {
        // Every element of the first stage must be done, not only the matching ones.
        for (std::size_t i = 0; i < n; i += 97)
            if (first[i] != 1) sawUnfinished = true;
        for (std::size_t i = begin; i < end; ++i) second[i] = first[i] + 1;
    };
    for (int round = 0; round < 20; ++round) {
        std::fill(first.begin(), first.end(), 0);
        dispatch::parallelStages(0, {dispatch::parallelStage(n, 100, fill), dispatch::parallelStage(n, 100, check)});
    }
    EXPECT_FALSE(sawUnfinished.load());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(second[i], 2);
}

TEST(ParallelFor, FinishesWhileThePoolIsBusy) {
    // Every pool thread blocked: the caller runs all chunks itself. The blocking tasks share their
    // flags with the test, which waits until each has returned: none may outlive it.
    struct Blockers {
        std::atomic<bool> release{false};
        std::atomic<int> blocked{0};
        std::atomic<int> finished{0};
    };
    auto blockers = std::make_shared<Blockers>();
    const int threads = int(dispatch::backgroundThreadCount());
    for (int i = 0; i < threads; ++i)
        dispatch::postBackground([blockers] {
            ++blockers->blocked;
            while (!blockers->release) std::this_thread::yield();
            ++blockers->finished;
        });
    while (blockers->blocked < threads) std::this_thread::yield();
    std::atomic<std::size_t> sum{0};
    dispatch::parallelFor(10000, 10, 0, [&](std::size_t begin, std::size_t end) { sum += end - begin; });
    blockers->release = true;
    while (blockers->finished < threads) std::this_thread::yield();
    EXPECT_EQ(sum.load(), 10000u);
}

TEST(ParallelFor, HelpersJoinAndALoopFinishesWhileAllOfThemAreBusy) {
    const unsigned workers = dispatch::backgroundThreadCount();

    // An outer loop holds the caller and every helper in its chunks until released; the threads it
    // ran on show that helpers joined it.
    std::atomic<bool> release{false};
    std::atomic<unsigned> blocked{0};
    std::mutex m;
    std::set<std::thread::id> outerThreads;
    std::thread outer([&] {
        dispatch::parallelFor(workers, 1, 0, [&](std::size_t, std::size_t) {
            {
                std::lock_guard lock(m);
                outerThreads.insert(std::this_thread::get_id());
            }
            ++blocked;
            while (!release) std::this_thread::yield();
        }, dispatch::Chunking::exact);
    });
    while (blocked < workers) std::this_thread::yield();

    // No helper is free: this loop runs on its caller alone and still ends.
    const auto caller = std::this_thread::get_id();
    std::atomic<std::size_t> sum{0};
    std::atomic<bool> onlyCaller{true};
    dispatch::parallelFor(10000, 10, 0, [&](std::size_t begin, std::size_t end) {
        sum += end - begin;
        if (std::this_thread::get_id() != caller) onlyCaller = false;
    });
    EXPECT_EQ(sum.load(), 10000u);
    EXPECT_TRUE(onlyCaller.load());

    release = true;
    outer.join();
    EXPECT_EQ(outerThreads.size(), workers);
}
