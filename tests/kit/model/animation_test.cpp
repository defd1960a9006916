#include "kit/model/animation.hpp"
#include "platform/log/log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace MivoKit;

using nlohmann::json;

namespace {

FlameFrameData frameWith(float x, std::vector<float> expr, std::optional<std::vector<float>> eyelid = std::nullopt) {
    return FlameFrameData({x, x, x}, {x, x, x}, std::move(expr), {x, x, x}, {x, x, x}, {x, x, x, x, x, x},
                          std::vector<float>{x}, std::vector<std::vector<float>>{{x, x, x}}, std::move(eyelid));
}

TEST(Animation, NextFrameWrapsAndSkipsNothing) {
    std::vector<FlameFrameData> frames;
    for (int i = 0; i < 3; ++i) frames.push_back(frameWith(float(i), {}));
    Mivo::Animation a(frames, FlameVersion::V_2023, 0, 0.2, false, false);
    std::vector<float> seen;
    for (int i = 0; i < 5; ++i) seen.push_back(a.nextFrame()->translation.x);
    EXPECT_EQ(seen, (std::vector<float>{1, 2, 0, 1, 2}));
    EXPECT_EQ(a.currentIndex, 2);

    Mivo::Animation transition(frames, FlameVersion::V_2023, -1, 0.2, true, true);
    EXPECT_EQ(transition.nextFrame()->translation.x, 0);
    Mivo::Animation negative(frames, FlameVersion::V_2023, -7, 0.2, true, true);
    EXPECT_EQ(negative.nextFrame()->translation.x, 0);

    Mivo::Animation single({frameWith(5, {})}, FlameVersion::V_2023, 0, 0.2, true, false);
    EXPECT_EQ(single.nextFrame()->translation.x, 5);
    EXPECT_EQ(single.nextFrame()->translation.x, 5);

    Mivo::Animation empty({}, FlameVersion::V_2023, 4, 0.2, true, false);
    EXPECT_FALSE(empty.nextFrame());
    EXPECT_EQ(empty.currentIndex, 4);
}

TEST(IdleFrames, ParsesFirstRowsWithLenientNumbers) {
    json frame = json::parse(R"({"content":{
        "translation":[[1, 2, 3, 4], [9, 9, 9]],
        "rotation":[[true, "0.25", "abc"]],
        "expr":[[null, [1], {"a":1}, 0.5]],
        "neck_pose":[[]],
        "jaw_pose":[],
        "eyes_pose":"not an array",
        "other":[[1]]}})");
    auto f = parseAnimationFrame(frame);
    EXPECT_EQ(f.translation, (simd::float3{1, 2, 3}));
    EXPECT_EQ(f.rotation, (std::vector<float>{1, 0.25f, 0}));
    EXPECT_EQ(f.expr, (std::vector<float>{0, 0, 0, 0.5f}));
    EXPECT_TRUE(f.neck_pose.empty());
    EXPECT_TRUE(f.jaw_pose.empty());
    EXPECT_TRUE(f.eyes_pose.empty());
    EXPECT_FALSE(f.eyelid);
    EXPECT_FALSE(f.shape);
    EXPECT_FALSE(f.static_offset);

    auto bare = parseAnimationFrame(json::parse(R"({"content":{"translation":[]}})"));
    EXPECT_EQ(bare.translation, (simd::float3{0, 0, 0}));
    EXPECT_EQ(bare.rotation, (std::vector<float>{0, 0, 0}));
}

TEST(IdleFrames, LoaderReturnsEmptyOnAnyFailure) {
    testsupport::TempDir dir;
    EXPECT_TRUE(loadAnimationFrames(std::nullopt).empty());
    EXPECT_TRUE(loadAnimationFrames((dir / "missing.json").string()).empty());
    testsupport::writeFile(dir / "empty.json", "[]");
    EXPECT_TRUE(loadAnimationFrames((dir / "empty.json").string()).empty());
    testsupport::writeFile(dir / "object.json", R"({"content":{}})");
    EXPECT_TRUE(loadAnimationFrames((dir / "object.json").string()).empty());

    platform::log::Capture capture;
    testsupport::writeFile(dir / "bad.json", "[{");
    EXPECT_TRUE(loadAnimationFrames((dir / "bad.json").string()).empty());
    auto printed = capture.printed();
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[0], "文件路径：" + (dir / "bad.json").string());
    EXPECT_EQ(printed[1].rfind("读取 JSON 文件时出错：", 0), 0u);
    EXPECT_GT(printed[1].size(), std::string("读取 JSON 文件时出错：").size());

    testsupport::writeFile(dir / "two.json", R"([{"content":{"expr":[[1]]}}, {}])");
    auto frames = loadAnimationFrames((dir / "two.json").string());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].expr, std::vector<float>{1});
    EXPECT_TRUE(frames[1].expr.empty());
}

TEST(Blend, EasesFromFirstToSecondOverTheShorterLists) {
    auto a = frameWith(0, std::vector<float>(100, 0.0f));
    auto b = frameWith(1, std::vector<float>(50, 1.0f));
    b.shape = std::vector<float>{42};

    auto at0 = blendFlameFrames(a, b, 0);
    EXPECT_EQ(at0.translation.x, 0);
    EXPECT_EQ(at0.expr.size(), 50u);
    EXPECT_EQ(at0.expr[0], 0);

    auto at1 = blendFlameFrames(a, b, 1);
    EXPECT_FLOAT_EQ(at1.translation.y, 1);
    EXPECT_FLOAT_EQ(at1.jaw_pose[2], 1);
    EXPECT_EQ(*at1.shape, std::vector<float>{0}); // shape and static offset always from the first frame
    EXPECT_EQ(at1.static_offset->at(0)[0], 0);

    auto half = blendFlameFrames(a, b, 0.5);
    EXPECT_FLOAT_EQ(half.rotation[1], 0.5f);

    // The ease is 0.5 - 0.5 cos(pi t), not linear.
    const double t = 0.25;
    const float w = float(0.5 - 0.5 * std::cos(std::numbers::pi * t));
    auto quarter = blendFlameFrames(frameWith(2, {}), frameWith(6, {}), t);
    EXPECT_FLOAT_EQ(quarter.translation.z, 2 + 4 * w);
    EXPECT_LT(quarter.translation.z, 3.0f);
}

TEST(Blend, EyelidTakesThePresentOneOrBlendsBoth) {
    auto none = frameWith(0, {});
    auto with = frameWith(1, {}, std::vector<float>{0.2f, 0.4f});
    EXPECT_EQ(*blendFlameFrames(none, with, 0.3).eyelid, (std::vector<float>{0.2f, 0.4f}));
    EXPECT_EQ(*blendFlameFrames(with, none, 0.7).eyelid, (std::vector<float>{0.2f, 0.4f}));
    EXPECT_FALSE(blendFlameFrames(none, none, 0.5).eyelid);
    auto other = frameWith(1, {}, std::vector<float>{1.0f});
    auto both = blendFlameFrames(with, other, 0.5);
    ASSERT_EQ(both.eyelid->size(), 1u);
    EXPECT_FLOAT_EQ(both.eyelid->at(0), 0.6f);
}

} // namespace
