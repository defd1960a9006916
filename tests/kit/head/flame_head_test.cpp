#include "kit/head/flame_head.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

constexpr std::size_t kVertices = 5143; // template and teeth

// The three heads of the generated resources, loaded once for the tests that only read them.
struct GeneratedHeads {
    FlameHead v2023{300, 100, FlameVersion::V_2023};
    FlameHead v2020{300, 100, FlameVersion::V_2020};
    FlameHead mix{300, 100, FlameVersion::Mix};

    GeneratedHeads() {
        platform::files::setResourceDirectory(headtest::generatedResources());
        FlameModelFiles files;
        for (auto* head : {&v2023, &v2020, &mix}) head->loadResource(files);
        platform::files::setResourceDirectory(std::nullopt);
    }
};

const GeneratedHeads& generated() {
    static const GeneratedHeads heads;
    return heads;
}

headtest::TinyModel tinyModel() { return {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}, {}, 400}; }

} // namespace

TEST(FlameHead, EveryVersionLoadsACompleteHeadWithTeeth) {
    for (const FlameHead* head : {&generated().v2023, &generated().v2020, &generated().mix}) {
        SCOPED_TRACE(std::string(toRaw(head->flameVersion())));
        EXPECT_TRUE(head->isLoaded());
        EXPECT_EQ(head->v_template.size(), kVertices);
        EXPECT_EQ(head->shapedirs.size(), kVertices);
        EXPECT_EQ(head->shapedirsFlat.size(), kVertices * 3 * 400);
        EXPECT_EQ(head->posedirsFlat.size(), 36 * 3 * kVertices);
        EXPECT_EQ(head->lbs_weights.size(), kVertices);
        EXPECT_EQ(head->l_eyelid.size(), kVertices);
        EXPECT_EQ(head->r_eyelid.size(), kVertices);
        EXPECT_EQ(head->parents, (std::vector<std::ptrdiff_t>{-1, 0, 1, 1, 1}));
        EXPECT_EQ(head->faces.size(), generated().v2023.faces.size());
        EXPECT_EQ(head->vertex_uvs.size(), 5023u + 120u);
        EXPECT_EQ(head->full_lmk_faces_idx.size(), head->full_lmk_bary_coords.size());
        EXPECT_FALSE(head->full_lmk_faces_idx.empty());
        // The flat basis is the nested one, row after row.
        EXPECT_EQ(head->shapedirsFlat[(1234 * 3 + 2) * 400 + 317], head->shapedirs[1234][2][317]);
        EXPECT_EQ(head->posedirsFlat[16 * 3 * kVertices + 3 * 77 + 1], head->posedirs[16][3 * 77 + 1]);
    }
}

TEST(FlameHead, TheMixedHeadTakesShapeFrom2023AndExpressionFrom2020) {
    const auto& [v2023, v2020, mix] = std::tie(generated().v2023, generated().v2020, generated().mix);
    EXPECT_EQ(mix.v_template, v2023.v_template);
    bool expressionsDiffer = false;
    for (std::size_t v : {0u, 1700u, 3931u, 5022u})
        for (int c = 0; c < 3; ++c) {
            const auto& row = mix.shapedirs[v][std::size_t(c)];
            ASSERT_EQ(row.size(), 400u);
            for (std::size_t k = 0; k < 300; ++k) ASSERT_EQ(row[k], v2023.shapedirs[v][std::size_t(c)][k]);
            for (std::size_t k = 300; k < 400; ++k) {
                ASSERT_EQ(row[k], v2020.shapedirs[v][std::size_t(c)][k]);
                expressionsDiffer |= row[k] != v2023.shapedirs[v][std::size_t(c)][k];
            }
        }
    EXPECT_TRUE(expressionsDiffer);
}

TEST(FlameHead, AMixedHeadWithoutShapeParametersHoldsOnlyExpressions) {
    platform::files::setResourceDirectory(headtest::generatedResources());
    FlameHead head(0, 100, FlameVersion::Mix);
    head.loadResource();
    platform::files::setResourceDirectory(std::nullopt);
    ASSERT_EQ(head.shapedirs[10][1].size(), 100u);
    EXPECT_EQ(head.shapedirs[10][1][5], generated().v2020.shapedirs[10][1][305]);
    EXPECT_EQ(head.shapedirsFlat.size(), kVertices * 3 * 100);
}

TEST(FlameHead, AModelThatFailsKeepsThePreviousArraysAndLaterStepsRun) {
    headtest::ResourceDirectory resources;
    platform::log::Capture capture;
    {
        FlameHead head(300, 100, FlameVersion::V_2023);
        head.loadResource();
        EXPECT_FALSE(head.isLoaded());
        EXPECT_TRUE(head.v_template.empty());
        EXPECT_TRUE(capture.printedLine("The FLAME model resource \"flame_model.pb\" was not found."));
        EXPECT_TRUE(capture.printedLine("frame文件路径为空"));
        EXPECT_TRUE(capture.printedLine("JSON 文件未找到"));
    }

    // A complete head, then a broken model file: the arrays (teeth included) stay as they were.
    for (const auto& file : std::filesystem::directory_iterator(headtest::generatedResources()))
        std::filesystem::copy(file.path(), resources / file.path().filename().string());
    FlameHead head(300, 100, FlameVersion::V_2023);
    head.loadResource();
    ASSERT_TRUE(head.isLoaded());
    const auto faces = head.faces.size();
    testsupport::writeFile(resources / "flame_model.pb", "\x0A\x05\x01");
    capture.clear();
    head.loadResource();
    EXPECT_FALSE(head.isLoaded());
    EXPECT_EQ(capture.printed().size(), 1u);
    EXPECT_EQ(head.v_template.size(), kVertices);
    EXPECT_EQ(head.faces.size(), faces);
    EXPECT_EQ(head.shapedirsFlat.size(), kVertices * 3 * 400);
}

TEST(FlameHead, ModelFilesThatDoNotFormAHeadAreRefusedLikeUndecodableOnes) {
    headtest::ResourceDirectory resources;
    platform::log::Capture capture;
    const auto load = [](FlameVersion version) {
        FlameHead head(300, 100, version);
        head.loadResource();
        return head.v_template.size();
    };
    auto noTree = tinyModel().data();
    noTree.clear_kintreetable();
    headtest::writeModel(resources.path(), "flame_model", noTree);
    headtest::writeModel(resources.path(), "flame_model_2020", tinyModel().data());
    EXPECT_EQ(load(FlameVersion::V_2023), 0u);
    EXPECT_TRUE(capture.printedLine("The FLAME model data is incomplete: no kinematic tree"));
    // The mixed head takes its tree from the 2020 file.
    EXPECT_EQ(load(FlameVersion::Mix), 5u);

    // Mix reads both files: one that does not form a head assigns nothing.
    headtest::writeModel(resources.path(), "flame_model", tinyModel().data());
    headtest::writeModel(resources.path(), "flame_model_2020", noTree);
    EXPECT_EQ(load(FlameVersion::Mix), 0u);

    // 2020 rows shorter than 300 + the expression count.
    auto shortRows = tinyModel();
    shortRows.coefficients = 399;
    headtest::writeModel(resources.path(), "flame_model_2020", shortRows.data());
    EXPECT_EQ(load(FlameVersion::Mix), 0u);
    EXPECT_EQ(load(FlameVersion::V_2020), 0u);
    EXPECT_EQ(load(FlameVersion::V_2023), 5u);
}

TEST(FlameHead, LandmarksAndEyelidsAreReadLeniently) {
    headtest::ResourceDirectory resources;
    platform::log::Capture capture;
    headtest::writeJSON(resources / "flame_landmark_embedding.json", {{"full_lmk_faces_idx", {{7.9, "12", true}}}});
    headtest::writeJSON(resources / "l_eyelid.json", {{1, 2, 3}, {"4", 5, 6}});
    FlameHead head(300, 100, FlameVersion::V_2023);
    head.loadResource();
    EXPECT_EQ(head.full_lmk_faces_idx, (std::vector<std::ptrdiff_t>{7, 12, 1}));
    EXPECT_TRUE(head.full_lmk_bary_coords.empty());
    // The right eyelid is missing: the left keeps only its file's rows, the right stays empty.
    EXPECT_EQ(head.l_eyelid, (std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_TRUE(head.r_eyelid.empty());

    headtest::writeJSON(resources / "r_eyelid.json", {{0, 0, 1}, {0, 0, 2}});
    head.loadResource();
    ASSERT_EQ(head.l_eyelid.size(), 122u);
    EXPECT_EQ(head.r_eyelid.back(), (std::vector<float>{0, 0, 0}));
    EXPECT_EQ(head.r_eyelid[1], (std::vector<float>{0, 0, 2}));
}
