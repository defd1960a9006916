#include "kit/head/mv_character_buffer_provider.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace MivoKit;

namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;

Mivo::AssetPaths pathsIn(const std::filesystem::path& directory) {
    return Mivo::AssetPaths::assetPaths("character", directory);
}

MvCharacterBufferProvider audioProvider(AudioFormat format) { return MvCharacterBufferProvider(Mivo::AssetPaths{}, format); }

std::string samples(std::initializer_list<std::int16_t> values) {
    std::string bytes;
    for (auto v : values) bytes.append(reinterpret_cast<const char*>(&v), 2);
    return bytes;
}

} // namespace

TEST(MvCharacterBufferProvider, MonoFloatAudioIsScaledBy32767) {
    const auto provider = audioProvider(AudioFormat::standard(16000, 1));
    const auto buffer = provider.makeAudioBuffer(samples({32767, -32768}));
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->frameLength(), 2u);
    EXPECT_EQ(buffer->floatChannelData(0)[0], 1.0f);
    EXPECT_NEAR(buffer->floatChannelData(0)[1], -1.0000305f, 1e-7f);

    const auto odd = provider.makeAudioBuffer(samples({100, 200}) + "x");
    EXPECT_EQ(odd->frameLength(), 2u);
    EXPECT_FLOAT_EQ(odd->floatChannelData(0)[1], 200.0f / 32767.0f);
    const auto empty = provider.makeAudioBuffer(std::string());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->frameLength(), 0u);
}

TEST(MvCharacterBufferProvider, OtherFormatsGiveSilenceOfTheRightLength) {
    platform::log::Capture capture;
    const auto stereo = audioProvider(AudioFormat::standard(16000, 2)).makeAudioBuffer(samples({1000, 2000, 3000, 4000}));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->frameLength(), 2u);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < 2; ++i) EXPECT_EQ(stereo->floatChannelData(c)[i], 0.0f);
    EXPECT_TRUE(capture.printedLine("声道数不为1"));

    capture.clear();
    const auto integers = audioProvider(AudioFormat(CommonFormat::pcmFormatInt16, 16000, 1, false)).makeAudioBuffer(samples({5, 6}));
    EXPECT_EQ(integers->int16ChannelData(0)[1], 0);
    EXPECT_TRUE(capture.printedLine("声道数不为1"));

    // No channels: no frames to count and no buffer to make.
    EXPECT_EQ(audioProvider(AudioFormat::standard(16000, 0)).makeAudioBuffer(samples({1})), nullptr);
}

TEST(MvCharacterBufferProvider, StaticOffsetsAndShapeAreReadLeniently) {
    testsupport::TempDir dir;
    const auto paths = pathsIn(dir.path());
    MvCharacterBufferProvider provider(paths, AudioFormat::standard(16000, 1));
    platform::log::Capture capture;
    EXPECT_TRUE(provider.loadStaticOffset().empty());
    EXPECT_TRUE(provider.loadShape().empty());

    headtest::writeJSON(*paths.staticOffsetJsonUrl, {{1, 2}, {3, "4", 5, 6}, "x"});
    headtest::writeJSON(*paths.shapeJsonUrl, {0.5, "2", true, nullptr});
    EXPECT_EQ(provider.loadStaticOffset(), (std::vector<simd::float3>{{1, 2, 0}, {3, 4, 5}, {0, 0, 0}}));
    EXPECT_EQ(provider.loadShape(), (std::vector<float>{0.5f, 2, 1, 0}));

    headtest::writeJSON(*paths.shapeJsonUrl, {{"a", 1}});
    EXPECT_TRUE(provider.loadShape().empty());
}

TEST(MvCharacterBufferProvider, AFailedLoadIsRetriedByTheNextFrame) {
    headtest::ResourceDirectory resources;
    platform::log::Capture capture;
    headtest::TriangleHead::write(resources.path());
    testsupport::TempDir dir;
    const auto paths = pathsIn(dir.path());
    MvCharacterBufferProvider provider(paths, AudioFormat::standard(16000, 1));

    EXPECT_ANY_THROW(provider.makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023));
    EXPECT_FALSE(provider.loadedStaticData());
    EXPECT_FALSE(capture.printedLine("GSManager: loadFlameStaticData"));

    headtest::writeSplats(*paths.pointCloudModelUrl, {{{0, 0, 0}, {}, {1, 0, 0, 0}, 0}});
    headtest::writeJSON(*paths.staticOffsetJsonUrl, {{0, 0, 0.5}});
    const auto buffer = provider.makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->points.size(), 1u);
    // Vertex 0 of the triangle carries the static offset: the centre moves by a third of it.
    EXPECT_NEAR(buffer->points[0].position.z, -1.0f / 3 + 0.5f / 3, 1e-6f);
    EXPECT_TRUE(provider.loadedStaticData());

    // Static data is read once.
    headtest::writeJSON(*paths.staticOffsetJsonUrl, {{0, 0, 5}});
    EXPECT_EQ(provider.makeSplatBuffer(FlameFrameData(), std::nullopt)->points[0].position, buffer->points[0].position);
}

TEST(MvCharacterBufferProvider, HeadsThatLoadedAreNotLoadedAgainWhileTheCloudIsMissing) {
    headtest::ResourceDirectory resources;
    for (const auto& file : std::filesystem::directory_iterator(headtest::generatedResources()))
        std::filesystem::copy(file.path(), resources / file.path().filename().string());
    testsupport::TempDir dir;
    const auto paths = pathsIn(dir.path());
    MvCharacterBufferProvider provider(paths, AudioFormat::standard(16000, 1));
    platform::log::Capture capture;
    EXPECT_ANY_THROW(provider.makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023));
    for (const auto& [version, head] : provider.gsManager().flameHeadMap()) EXPECT_TRUE(head->isLoaded());

    // With the model files gone, a reload would fail and say so; the next frames only retry the cloud.
    std::filesystem::remove(resources / "flame_model.pb");
    std::filesystem::remove(resources / "flame_model_2020.pb");
    capture.clear();
    EXPECT_ANY_THROW(provider.makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023));
    headtest::writeSplats(*paths.pointCloudModelUrl, {{{0, 0, 0}, {}, {1, 0, 0, 0}, 10000}});
    const auto buffer = provider.makeSplatBuffer(FlameFrameData(), FlameVersion::Mix);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->points.size(), 1u);
    for (const auto& line : capture.printed()) EXPECT_EQ(line.find("FLAME model"), std::string::npos) << line;
}

TEST(MvCharacterBufferProvider, TheSyntheticCharacterAnimates) {
    const auto paths = Mivo::AssetPaths::assetPaths("synthetic", headtest::syntheticDocuments() / "MvCharacters");
    MvCharacterBufferProvider provider(paths, AudioFormat::standard(24000, 1));
    const auto frames = loadAnimationFrames(paths.idleFramesUrl->string());
    ASSERT_EQ(frames.size(), 125u);
    const auto first = provider.makeSplatBuffer(frames[0], FlameVersion::V_2023);
    const auto later = provider.makeSplatBuffer(frames[40], FlameVersion::V_2023);
    ASSERT_TRUE(first && later);
    ASSERT_GT(first->points.size(), 90000u);
    ASSERT_EQ(first->points.size(), later->points.size());
    std::size_t moved = 0;
    for (std::size_t i = 0; i < first->points.size(); ++i) {
        const auto& p = first->points[i].position;
        ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
        ASSERT_LT(simd::length(p), 0.5f); // metres: the head stays a head
        moved += simd::length(p - later->points[i].position) > 1e-5f;
    }
    EXPECT_GT(moved, first->points.size() / 2);
}

TEST(MvCharacterBufferProvider, AllCoresAndOneCoreGiveTheSameSplats) {
    const auto paths = Mivo::AssetPaths::assetPaths("synthetic", headtest::syntheticDocuments() / "MvCharacters");
    MvCharacterBufferProvider provider(paths, AudioFormat::standard(24000, 1));
    const auto frames = loadAnimationFrames(paths.idleFramesUrl->string());
    for (std::size_t f : {3u, 50u, 51u, 99u}) {
        provider.gsManager().setMaxWorkers(1);
        const auto one = provider.makeSplatBuffer(frames[f], FlameVersion::V_2023);
        provider.gsManager().setMaxWorkers(0);
        const auto all = provider.makeSplatBuffer(frames[f], FlameVersion::V_2023);
        const auto again = provider.makeSplatBuffer(frames[f], FlameVersion::V_2023); // from a prepared list
        ASSERT_EQ(one->points.size(), all->points.size());
        for (std::size_t i = 0; i < one->points.size(); ++i) {
            ASSERT_EQ(one->points[i].position, all->points[i].position) << i;
            ASSERT_EQ(one->points[i].rotation, all->points[i].rotation) << i;
            ASSERT_EQ(one->points[i].scale.linear(), again->points[i].scale.linear()) << i;
            ASSERT_EQ(one->points[i].color.linearRGB(), again->points[i].color.linearRGB()) << i;
        }
    }
}
