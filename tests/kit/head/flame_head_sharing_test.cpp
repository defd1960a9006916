#include "kit/head/flame_head.hpp"
#include "kit/head/gs_manager.hpp"
#include "platform/files/directories.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <gtest/gtest.h>

#include <cstring>

using namespace MivoKit;

namespace {

using Vertices = std::vector<simd::float3>;

struct LoadedHeads {
    std::vector<std::unique_ptr<FlameHead>> heads;

    LoadedHeads() {
        platform::files::setResourceDirectory(headtest::generatedResources());
        FlameModelFiles files;
        for (auto version : {FlameVersion::V_2023, FlameVersion::V_2020, FlameVersion::Mix}) {
            heads.push_back(std::make_unique<FlameHead>(300, 100, version));
            heads.back()->loadResource(files);
        }
        platform::files::setResourceDirectory(std::nullopt);
    }
};

// A few frames that use every part of the pass: shape, expression, every joint, eyelids, offsets.
std::vector<std::pair<Vertices, Vertices>> poses(FlameHead& head) {
    std::vector<float> shape(300), expr(100);
    for (std::size_t k = 0; k < shape.size(); ++k) shape[k] = 0.01f * float(k % 13) - 0.05f;
    Vertices offsets(head.v_template.empty() ? 5143 : head.v_template.size());
    for (std::size_t v = 0; v < offsets.size(); ++v) offsets[v] = {0.001f * float(v % 7), 0, -0.002f * float(v % 3)};
    std::vector<std::pair<Vertices, Vertices>> out;
    for (int frame = 0; frame < 3; ++frame) {
        for (std::size_t k = 0; k < expr.size(); ++k) expr[k] = 0.1f * float((k + std::size_t(frame)) % 5) - 0.2f;
        const float a = 0.1f * float(frame + 1);
        out.push_back(head.forward(shape, expr, {a, -a, 0}, {0, a, 0}, {a, 0, 0}, {0, a, 0, a, 0, 0}, {0, 0.1f, a},
                                   false, offsets, std::nullopt, std::vector<float>{a, 1 - a}));
    }
    // A second shape: the shaped template is made again from the shared basis.
    shape.assign(300, 0.02f);
    out.push_back(head.forward(shape, expr, {}, {}, {}, {}, {}, false, std::nullopt));
    return out;
}

bool sameBits(const Vertices& a, const Vertices& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(simd::float3)) == 0);
}

} // namespace

TEST(FlameHeadSharing, SharedHeadsPoseBitForBitAsTheirOwnArraysDidAndDropTheLoadingCopies) {
    LoadedHeads own, shared;
    SharedFlameBases bases;
    for (auto& head : shared.heads) head->shareModelArrays(bases);
    for (std::size_t i = 0; i < own.heads.size(); ++i) {
        SCOPED_TRACE(std::string(toRaw(own.heads[i]->flameVersion())));
        auto& head = *shared.heads[i];
        EXPECT_TRUE(head.shapedirs.empty());
        EXPECT_TRUE(head.shapedirsFlat.empty());
        EXPECT_TRUE(head.posedirs.empty());
        EXPECT_TRUE(head.posedirsFlat.empty());
        EXPECT_TRUE(head.isLoaded());
        const auto expected = poses(*own.heads[i]);
        const auto got = poses(head);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t f = 0; f < got.size(); ++f) {
            ASSERT_FALSE(got[f].first.empty());
            EXPECT_TRUE(sameBits(got[f].first, expected[f].first)) << "frame " << f;
            EXPECT_TRUE(sameBits(got[f].second, expected[f].second)) << "frame " << f;
        }
    }
}

TEST(FlameHeadSharing, ChangingTheArraysAfterwardsPosesFromThemAgain) {
    LoadedHeads loaded;
    auto& head = *loaded.heads[0];
    SharedFlameBases bases;
    head.shareModelArrays(bases);
    // Without blend shapes or correctives the head poses its template (as the pass does for an
    // empty basis), once told that the arrays changed.
    head.posedirsFlat.assign(36 * 3 * head.v_template.size(), 0.0f);
    head.modelDataChanged();
    const auto [posed, shaped] = head.forward(std::vector<float>(300, 0.5f), std::vector<float>(100, 0.5f), {}, {}, {},
                                              {}, {});
    EXPECT_TRUE(sameBits(shaped, head.v_template));
}

TEST(FlameHeadSharing, AHeadThePassCannotUseKeepsItsArrays) {
    FlameHead head(300, 100, FlameVersion::V_2023);
    head.v_template = {{0, 0, 0}, {1, 0, 0}};
    head.shapedirsFlat.assign(7, 1.0f); // not 2 * 3 * 400
    head.posedirsFlat.assign(3, 1.0f);
    SharedFlameBases bases;
    head.shareModelArrays(bases);
    EXPECT_EQ(head.shapedirsFlat.size(), 7u);
    EXPECT_EQ(head.posedirsFlat.size(), 3u);
}

TEST(SharedFlameBases, EqualValuesAreHeldOnceAndOnlyEqualBitsCount) {
    SharedFlameBases bases;
    const auto a = bases.intern({1, 2, 3});
    EXPECT_EQ(bases.intern({1, 2, 3}), a);
    EXPECT_NE(bases.intern({1, 2, 4}), a);
    EXPECT_NE(bases.intern({1, 2}), a);
    const auto zero = bases.intern({0.0f});
    EXPECT_NE(bases.intern({-0.0f}), zero);
    EXPECT_EQ(bases.intern({}), bases.intern({}));
}

TEST(FlameModelFiles, AReleasedFileIsReadAgainOnTheNextRequest) {
    headtest::ResourceDirectory resources;
    headtest::writeModel(resources.path(), "flame_model", headtest::TinyModel{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}, {}, 400}.data());
    FlameModelFiles files;
    const auto first = files.get("flame_model");
    EXPECT_EQ(files.get("flame_model"), first);
    files.release("flame_model");
    const auto again = files.get("flame_model");
    EXPECT_NE(again, first);
    EXPECT_EQ(again->SerializeAsString(), first->SerializeAsString());
}
