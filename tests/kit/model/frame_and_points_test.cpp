#include "kit/model/flame_frame_data.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "kit/model/video_frame.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using namespace MivoKit;

namespace {

FlameFrameData sampleFrame() {
    return FlameFrameData({1, 2, 3}, {0.1f, 0.2f, 0.3f}, {0.5f}, {0.4f, 0, 0}, {0, 0.6f, 0}, {1, 2, 3, 4, 5, 6},
                          std::vector<float>{7, 8}, std::vector<std::vector<float>>{{9, 10, 11}},
                          std::vector<float>{0.25f, 0.75f});
}

TEST(FlameFrameData, InitialiserStoresTheTrailingOptionalsInTheirOwnFields) {
    FlameFrameData f = sampleFrame();
    ASSERT_TRUE(f.shape && f.eyelid && f.static_offset);
    EXPECT_EQ(*f.shape, (std::vector<float>{7, 8}));
    EXPECT_EQ(*f.eyelid, (std::vector<float>{0.25f, 0.75f}));
    EXPECT_EQ(f.static_offset->at(0), (std::vector<float>{9, 10, 11}));
    EXPECT_EQ(f.translation, (simd::float3{1, 2, 3}));
    EXPECT_EQ(f.neck_pose, (std::vector<float>{0.4f, 0, 0}));
    EXPECT_EQ(f.jaw_pose, (std::vector<float>{0, 0.6f, 0}));
}

TEST(FlameFrameData, CopiesAreIndependent) {
    FlameFrameData a = sampleFrame();
    FlameFrameData b = a;
    b.expr.push_back(9);
    b.eyelid->at(0) = 1;
    b.static_offset->at(0).at(0) = -1;
    EXPECT_EQ(a.expr.size(), 1u);
    EXPECT_EQ(a.eyelid->at(0), 0.25f);
    EXPECT_EQ(a.static_offset->at(0).at(0), 9);
}

// A reader that plays back a script of reports.
class ScriptedReader : public SplatSceneReader {
public:
    std::vector<std::size_t> batches;
    enum class End { finish, failWithError, failWithoutError, none, finishThenFail } end = End::finish;

    void read(SplatSceneReaderDelegate& d) override {
        d.didStartReading(12345);
        int n = 0;
        for (std::size_t size : batches) {
            std::vector<SplatScenePoint> batch(size);
            for (auto& p : batch) p.position.x = static_cast<float>(n++);
            d.didRead(batch);
        }
        switch (end) {
        case End::finish: d.didFinishReading(); break;
        case End::failWithError: d.didFailReading(std::make_exception_ptr(std::runtime_error("boom"))); break;
        case End::failWithoutError: d.didFailReading(nullptr); break;
        case End::none: break;
        case End::finishThenFail:
            d.didFinishReading();
            d.didRead(std::vector<SplatScenePoint>(3));
            d.didFailReading(nullptr);
            break;
        }
    }
};

TEST(SplatMemoryBuffer, ConcatenatesBatchesInOrderAndReplacesEarlierPoints) {
    SplatMemoryBuffer buffer;
    buffer.points.resize(7);
    ScriptedReader reader;
    reader.batches = {2048, 5};
    buffer.read(reader);
    ASSERT_EQ(buffer.points.size(), 2053u);
    for (std::size_t i = 0; i < buffer.points.size(); ++i) ASSERT_EQ(buffer.points[i].position.x, float(i));

    reader.batches = {};
    buffer.read(reader);
    EXPECT_TRUE(buffer.points.empty());
}

TEST(SplatMemoryBuffer, FailuresRaiseAndKeepThePreviousPoints) {
    SplatMemoryBuffer buffer;
    buffer.points.resize(4);
    ScriptedReader reader;
    reader.batches = {10};

    reader.end = ScriptedReader::End::failWithError;
    EXPECT_THROW(buffer.read(reader), std::runtime_error);
    EXPECT_EQ(buffer.points.size(), 4u);

    for (auto end : {ScriptedReader::End::failWithoutError, ScriptedReader::End::none}) {
        reader.end = end;
        try {
            buffer.read(reader);
            FAIL() << "expected an error";
        } catch (const SplatMemoryBuffer::BufferReader::Error& e) {
            EXPECT_EQ(e.code(), SplatMemoryBuffer::BufferReader::ErrorCode::unknown);
        }
        EXPECT_EQ(buffer.points.size(), 4u);
    }
}

TEST(SplatMemoryBuffer, ReportsAfterTheFirstTerminalOneAreIgnored) {
    SplatMemoryBuffer buffer;
    ScriptedReader reader;
    reader.batches = {2};
    reader.end = ScriptedReader::End::finishThenFail;
    buffer.read(reader);
    EXPECT_EQ(buffer.points.size(), 2u);
}

TEST(SplatScenePoint, ColourOpacityAndScaleConversions) {
    using Color = SplatScenePoint::Color;
    using Opacity = SplatScenePoint::Opacity;
    using Scale = SplatScenePoint::Scale;

    EXPECT_EQ(Color(Color::FirstOrderSphericalHarmonic{0, 0, 0}).linearRGB(), (simd::float3{0.5f, 0.5f, 0.5f}));
    auto clamped = Color(Color::SphericalHarmonic(2, -2, 0, std::vector<float>(45, 1.0f))).linearRGB();
    EXPECT_EQ(clamped, (simd::float3{1, 0, 0.5f}));
    EXPECT_FLOAT_EQ(Color(Color::FirstOrderSphericalHarmonic{1, 0, 0}).linearRGB().x, 0.5f + 0.282094806f);
    // Linear 0-255 colours are divided by 255 and not clamped.
    EXPECT_EQ(Color(Color::LinearFloat256{255, 0, 510}).linearRGB(), (simd::float3{1, 0, 2}));
    EXPECT_EQ(Color(Color::LinearUInt8{255, 0, 51}).linearRGB(), (simd::float3{1, 0, 0.2f}));
    const float features[] = {1.5f, -1, 0.25f, 9, 9};
    EXPECT_EQ(Color(Color::SuperResolution(features)).linearRGB(), (simd::float3{1, 0, 0.25f}));

    EXPECT_FLOAT_EQ(Opacity(Opacity::LogitFloat{0}).linear(), 0.5f);
    EXPECT_FLOAT_EQ(Opacity(Opacity::LinearFloat{0.3f}).linear(), 0.3f);
    EXPECT_FLOAT_EQ(Opacity(Opacity::LinearUInt8{51}).linear(), 0.2f);

    EXPECT_EQ(Scale(Scale::Exponent{0, 0, 0}).linear(), (simd::float3{1, 1, 1}));
    EXPECT_FLOAT_EQ(Scale(Scale::Exponent{std::log(2.0f), 0, 0}).linear().x, 2.0f);
    EXPECT_EQ(Scale(Scale::LinearFloat{0.1f, 0.2f, 0.3f}).linear(), (simd::float3{0.1f, 0.2f, 0.3f}));
}

TEST(SplatScenePoint, SuperResolutionFeaturesKeepEightAndPadWithZero) {
    const float three[] = {0.1f, 0.2f, 0.3f};
    SplatScenePoint::Color::SuperResolution shortList(three);
    EXPECT_EQ(shortList.count, 3);
    EXPECT_EQ(shortList.features[2], 0.3f);
    EXPECT_EQ(shortList.features[7], 0.0f);

    std::vector<float> ten(10);
    for (int i = 0; i < 10; ++i) ten[i] = float(i);
    SplatScenePoint::Color::SuperResolution longList(ten);
    EXPECT_EQ(longList.count, 8);
    EXPECT_EQ(longList.features[7], 7.0f);
}

TEST(SplatScenePoint, CopiesShareHarmonicCoefficientsWithoutAliasingValues) {
    SplatScenePoint a;
    a.color = SplatScenePoint::Color::SphericalHarmonic(1, 2, 3, std::vector<float>{4, 5});
    SplatScenePoint b = a;
    b.position.x = 9;
    auto& shA = std::get<SplatScenePoint::Color::SphericalHarmonic>(a.color);
    auto& shB = std::get<SplatScenePoint::Color::SphericalHarmonic>(b.color);
    EXPECT_EQ(shA.higherOrder.get(), shB.higherOrder.get());
    EXPECT_EQ(shB.coefficients(), (std::vector<float>{4, 5}));
    EXPECT_EQ(a.position.x, 0);
}

TEST(VideoFrame, HoldsTheBufferWithItsFrame) {
    SplatMemoryBuffer buffer;
    buffer.points.resize(3);
    Mivo::VideoFrame frame(std::move(buffer), sampleFrame());
    EXPECT_EQ(frame.buffer().points.size(), 3u);
    EXPECT_EQ(frame.flameFrameData().translation, (simd::float3{1, 2, 3}));
}

} // namespace
