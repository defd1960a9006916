#include "platform/log/log.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace MivoKit;

namespace log = platform::log;

TEST(Log, CaptureRecordsPrintsAndEntriesInOrder) {
    log::Capture outer;
    log::print("first");
    {
        log::Capture inner;
        log::Logger logger(std::string(log::kitBundleIdentifier), "MivoKit");
        logger.info("收到动画帧数据 3 reqId: x");
        logger.error("服务器断开连接");
        log::print("second");
        auto entries = inner.entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].level, log::Level::info);
        EXPECT_EQ(entries[0].subsystem, log::kitBundleIdentifier);
        EXPECT_EQ(entries[0].category, "MivoKit");
        EXPECT_EQ(entries[1].message, "服务器断开连接");
        EXPECT_EQ(inner.printed(), std::vector<std::string>{"second"});
    }
    log::print("third");
    EXPECT_EQ(outer.printed(), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(outer.printedLine("third"));
    EXPECT_FALSE(outer.printedLine("thir"));
    outer.clear();
    EXPECT_TRUE(outer.printed().empty());
}

TEST(Log, PrintsFromManyThreadsAreAllCaptured) {
    log::Capture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) log::print("t" + std::to_string(t) + " " + std::to_string(i));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(capture.printed().size(), 400u);
}

// Background threads may still print and log while the process exits: the log outlives exit.
TEST(Log, ThreadsStillLoggingWhileTheProcessExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            new platform::log::Capture(); // never released, so the list of captures stays non-empty
            static std::atomic<int> lines{0};
            for (int t = 0; t < 4; ++t)
                std::thread([] {
                    const platform::log::Logger logger("kit", "exit");
                    for (;;) {
                        logger.info("still running");
                        platform::log::print("still printing");
                        ++lines;
                    }
                }).detach();
            while (lines < 1000) std::this_thread::yield();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
