#include "kit/head/flame_mask.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace MivoKit;

namespace {

using Indices = FlameMask::Indices;

std::set<std::ptrdiff_t> asSet(const Indices& v) { return {v.begin(), v.end()}; }

const Indices& region(const FlameMask& mask, const std::string& name) { return mask.vMask.at(name); }

} // namespace

TEST(FlameMask, FixedRegionsKeepTheirCountsBoundsAndOrder) {
    std::map<std::string, Indices> fixed(FlameMask::fixedRegions().begin(), FlameMask::fixedRegions().end());
    const std::map<std::string, std::tuple<std::size_t, std::ptrdiff_t, std::ptrdiff_t>> expected = {
        {"neck_top", {34, 10, 3685}},         {"lip_inside_upper", {51, 1588, 3549}}, {"lip_inside_lower", {45, 1572, 3512}},
        {"lip_inside", {128, 1572, 3549}},    {"neck_upper", {149, 10, 3713}},        {"neck_lower", {130, 3188, 3378}},
        {"neck_base", {19, 3231, 3362}},      {"left_iris", {97, 3931, 4058}},       {"right_iris", {97, 4477, 4604}},
        {"left_eyelid", {146, 807, 3861}},    {"right_eyelid", {146, 2264, 3700}},   {"lips_tight", {214, 1572, 3549}},
        {"left_half", {2569, 0, 4476}},       {"right_half", {2569, 19, 5022}},
    };
    EXPECT_EQ(FlameMask::fixedRegions().size(), 23u);
    for (const auto& [name, bounds] : expected) {
        const auto& list = fixed.at(name);
        SCOPED_TRACE(name);
        EXPECT_EQ(list.size(), std::get<0>(bounds));
        EXPECT_EQ(list.front(), std::get<1>(bounds));
        EXPECT_EQ(list.back(), std::get<2>(bounds));
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        EXPECT_EQ(asSet(list).size(), list.size());
    }
    EXPECT_EQ(Indices(fixed.at("neck_top").begin(), fixed.at("neck_top").begin() + 5), (Indices{10, 11, 111, 112, 784}));
    EXPECT_EQ(fixed.at("lip_outside_ring_upper"),
              (Indices{1713, 1715, 1716, 1735, 1696, 1694, 1657, 3543, 2774, 2811, 2813, 2850, 2833, 2832, 2830}));
    const auto& bottom = fixed.at("bottomline");
    EXPECT_EQ(bottom.size(), 30u);
    EXPECT_EQ(Indices(bottom.begin(), bottom.begin() + 5), (Indices{3218, 3219, 3226, 3272, 3273}));
    EXPECT_EQ(Indices(bottom.end() - 4, bottom.end()), (Indices{3258, 3257, 3255, 3256}));
    EXPECT_EQ(*std::min_element(bottom.begin(), bottom.end()), 3218);
    EXPECT_EQ(*std::max_element(bottom.begin(), bottom.end()), 3379);

    // The halves cover the template together and share the 115 midline vertices.
    const auto left = asSet(fixed.at("left_half")), right = asSet(fixed.at("right_half"));
    std::set<std::ptrdiff_t> both;
    std::set_intersection(left.begin(), left.end(), right.begin(), right.end(), std::inserter(both, both.end()));
    EXPECT_EQ(both.size(), 115u);
    EXPECT_EQ(left.size() + right.size() - both.size(), 5023u);
}

TEST(FlameMask, WithAnEmptyMaskFileOnlyTheFixedRegionsFeedTheCombinedOnes) {
    headtest::ResourceDirectory resources;
    headtest::writeJSON(resources / "flame_masks.json", nlohmann::json::object());
    const FlameMask mask({}, {}, 5023);
    for (const char* name : {"hair", "sclerae", "ears", "eyeballs", "left_eye", "right_eye"})
        EXPECT_TRUE(region(mask, name).empty()) << name;
    EXPECT_EQ(region(mask, "irises").size(), 194u);
    EXPECT_EQ(region(mask, "lip_inside_ring").size(), 32u);
    EXPECT_EQ(region(mask, "lip_inside_ring")[30], 1594);
    EXPECT_EQ(region(mask, "skin").size(), 5023u - 214u);
}

TEST(FlameMask, FileRegionsAreReadAndFixedNamesReplaced) {
    headtest::ResourceDirectory resources;
    headtest::writeJSON(resources / "flame_masks.json",
                        {{"scalp", {1, 2, 3, "4", 5.9, true}},
                         {"face", {2}},
                         {"neck", {3}},
                         {"left_eyeball", {10, 11}},
                         {"right_eyeball", {12}},
                         {"left_iris", {10}},
                         {"lip_outside_ring_upper", {7}},
                         {"boundary", "not a list"}});
    const FlameMask mask({}, {}, 5023);
    EXPECT_EQ(region(mask, "scalp"), (Indices{1, 2, 3, 4, 5, 1}));
    EXPECT_EQ(asSet(region(mask, "hair")), (std::set<std::ptrdiff_t>{1, 4, 5}));
    EXPECT_EQ(region(mask, "hair").size(), 3u);
    EXPECT_EQ(region(mask, "lip_outside_ring_upper").size(), 15u);
    EXPECT_EQ(region(mask, "eyeballs"), (Indices{12, 10, 11}));
    // The fixed left iris replaces the file's, so no eyeball vertex is an iris vertex here.
    EXPECT_EQ(asSet(region(mask, "sclerae")), (std::set<std::ptrdiff_t>{10, 11, 12}));
    EXPECT_TRUE(region(mask, "boundary").empty());
}

TEST(FlameMask, TeethLeaveTheSkinOnlyForTheTemplateWithTeeth) {
    headtest::ResourceDirectory resources;
    headtest::writeJSON(resources / "flame_masks.json", {{"teeth", {5000, 5001}}});
    EXPECT_EQ(FlameMask({}, {}, 5083).vMask.at("skin").size(), 5083u - 214u - 2u);
    EXPECT_EQ(FlameMask({}, {}, 5023).vMask.at("skin").size(), 5023u - 214u);
}

TEST(FlameMask, ATriangleJoinsARegionNamedThreeTimesAmongItsVertices) {
    headtest::ResourceDirectory resources;
    // Vertex 1 is in both ears, so (0, 1, 2) counts "ears" three times with vertex 0 in one ear.
    headtest::writeJSON(resources / "flame_masks.json", {{"right_ear", {0, 1}}, {"left_ear", {1}}, {"face", {0, 1, 2, 3}}});
    const FlameMask mask({{0, 1, 2}, {1, 2, 3}, {0, 4, 5}}, {}, 10);
    EXPECT_EQ(mask.fMask.at("ears"), (Indices{0}));
    EXPECT_EQ(mask.fMask.at("face"), (Indices{0, 1}));
    EXPECT_EQ(mask.fMask.count("right_ear"), 0u);
    const auto& names = mask.vidToRegion.at(1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ears"), 2);
}

TEST(FlameMask, VertexIdsConcatenateNamedRegions) {
    headtest::ResourceDirectory resources;
    headtest::writeJSON(resources / "flame_masks.json", {{"face", {4, 5}}});
    const FlameMask mask({}, {}, 8);
    EXPECT_TRUE(mask.vertexIds({"nothing", "nowhere"}).empty());
    EXPECT_EQ(mask.vertexIds({"face", "face"}), (Indices{4, 5, 4, 5}));
    EXPECT_EQ(mask.vertexIdsOutside({"face"}), (Indices{0, 1, 2, 3, 6, 7}));
}

TEST(FlameMask, AMissingOrBrokenMaskFileIsReportedAndLeavesTheFixedRegions) {
    headtest::ResourceDirectory resources;
    {
        platform::log::Capture capture;
        const FlameMask mask({}, {}, 5023);
        EXPECT_TRUE(capture.printedLine("JSON 文件未找到"));
        EXPECT_EQ(mask.vMask.at("skin").size(), 5023u - 214u);
    }
    testsupport::writeFile(resources / "flame_masks.json", "{ not json");
    platform::log::Capture capture;
    const FlameMask mask({}, {}, 5023);
    const auto printed = capture.printed();
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].rfind("读取 JSON 文件时出错：", 0), 0u);
    EXPECT_GT(printed[0].size(), std::string("读取 JSON 文件时出错：").size());
}
