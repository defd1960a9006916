// SplatMemoryBuffer::read with readers that misbehave: a reader that never ends its read, a
// second terminal report, a failure without an error.

#include "kit/model/splat_memory_buffer.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

SplatScenePoint pointAt(float x) {
    SplatScenePoint p;
    p.position = {x, 0, 0};
    return p;
}

// A reader that runs a script against the delegate.
struct ScriptedReader : SplatSceneReader {
    std::function<void(SplatSceneReaderDelegate&)> script;
    void read(SplatSceneReaderDelegate& delegate) override { script(delegate); }
};

std::vector<SplatScenePoint> batch(std::size_t count, float start) {
    std::vector<SplatScenePoint> points;
    for (std::size_t i = 0; i < count; ++i) points.push_back(pointAt(start + static_cast<float>(i)));
    return points;
}

using BufferError = SplatMemoryBuffer::BufferReader::Error;

TEST(SplatMemoryBuffer, ConcatenatesBatchesAndReplacesThePreviousPoints) {
    SplatMemoryBuffer buffer;
    buffer.points = batch(3, 100);
    ScriptedReader reader;
    reader.script = [](SplatSceneReaderDelegate& d) {
        d.didStartReading(7); // a declared count has no effect on what is collected
        d.didRead(batch(2048, 0));
        d.didRead(batch(5, 2048));
        d.didFinishReading();
    };
    buffer.read(reader);
    ASSERT_EQ(buffer.points.size(), 2053u);
    for (std::size_t i = 0; i < buffer.points.size(); ++i) ASSERT_EQ(buffer.points[i].position.x, static_cast<float>(i));

    reader.script = [](SplatSceneReaderDelegate& d) { d.didFinishReading(); };
    buffer.read(reader);
    EXPECT_TRUE(buffer.points.empty());
}

TEST(SplatMemoryBuffer, FailuresKeepThePreviousPoints) {
    SplatMemoryBuffer buffer;
    buffer.points = batch(2, 0);
    ScriptedReader reader;
    reader.script = [](SplatSceneReaderDelegate& d) {
        d.didRead(batch(4, 10));
        d.didFailReading(std::make_exception_ptr(std::invalid_argument("bad file")));
    };
    EXPECT_THROW(buffer.read(reader), std::invalid_argument);
    EXPECT_EQ(buffer.points.size(), 2u);

    reader.script = [](SplatSceneReaderDelegate& d) { d.didFailReading(nullptr); };
    try {
        buffer.read(reader);
        FAIL();
    } catch (const BufferError& error) {
        EXPECT_EQ(error.code(), SplatMemoryBuffer::BufferReader::ErrorCode::unknown);
    }
    EXPECT_EQ(buffer.points.size(), 2u);
}

// A reader that returns without a terminal report would leave an asynchronous caller waiting
// for ever; the synchronous read raises `unknown` instead.
TEST(SplatMemoryBuffer, ReaderWithoutTerminalReportRaisesUnknown) {
    SplatMemoryBuffer buffer;
    ScriptedReader reader;
    reader.script = [](SplatSceneReaderDelegate& d) { d.didRead(batch(3, 0)); };
    EXPECT_THROW(buffer.read(reader), BufferError);
    EXPECT_TRUE(buffer.points.empty());
}

TEST(SplatMemoryBuffer, ReportsAfterTheFirstTerminalOneAreIgnored) {
    SplatMemoryBuffer buffer;
    ScriptedReader reader;
    reader.script = [](SplatSceneReaderDelegate& d) {
        d.didRead(batch(2, 0));
        d.didFinishReading();
        d.didRead(batch(2, 10));
        d.didFailReading(std::make_exception_ptr(std::runtime_error("late")));
        d.didFinishReading();
    };
    buffer.read(reader);
    EXPECT_EQ(buffer.points.size(), 2u);

    reader.script = [](SplatSceneReaderDelegate& d) {
        d.didFailReading(std::make_exception_ptr(std::runtime_error("first")));
        d.didFinishReading();
    };
    EXPECT_THROW(buffer.read(reader), std::runtime_error);
    EXPECT_EQ(buffer.points.size(), 2u);
}

} // namespace
