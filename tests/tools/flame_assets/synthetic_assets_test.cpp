// The assets the build generates hold together: the model files form heads, the lip rings sit at
// the mouth, every region and binding names real vertices and triangles, and the character's
// camera frames its head.

#include "kit/head/flame_head.hpp"
#include "kit/head/flame_model_file.hpp"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/model/camera_math.hpp"
#include "kit/model/character.hpp"
#include "kit/model/transform.hpp"
#include "platform/files/directories.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

using namespace MivoKit;

namespace {

const std::filesystem::path kResources = MIVO_TEST_RESOURCE_DIR;
const std::filesystem::path kCharacter = MIVO_TEST_CHARACTER_DIR;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

FlameModelArrays model(const char* name) { return FlameModelArrays::map(decodeFlameData(contents(kResources / name))); }

nlohmann::json json(const std::filesystem::path& path) { return nlohmann::json::parse(contents(path)); }

} // namespace

TEST(SyntheticAssets, TheModelFilesAreCompleteHeads) {
    const auto a = model("flame_model.pb"), b = model("flame_model_2020.pb");
    for (const auto* m : {&a, &b}) {
        ASSERT_NO_THROW(m->validate(400));
        EXPECT_EQ(m->v_template.size(), 5023u);
        EXPECT_EQ(m->parents, (std::vector<std::ptrdiff_t>{-1, 0, 1, 1, 1}));
        // Skinning weights and regressor rows are convex combinations.
        for (const auto* rows : {&m->lbs_weights, &m->J_regressor})
            for (const auto& row : *rows) {
                float sum = 0;
                for (float x : row) {
                    EXPECT_GE(x, 0.0f);
                    sum += x;
                }
                ASSERT_NEAR(sum, 1.0f, 1e-4f);
            }
    }
    // Same identity space, different expressions.
    std::size_t shapeDiffers = 0, expressionDiffers = 0;
    for (std::size_t v = 0; v < 5023; v += 7)
        for (std::size_t k = 0; k < 400; ++k)
            (k < 300 ? shapeDiffers : expressionDiffers) += a.shapedirs[v][0][k] != b.shapedirs[v][0][k];
    EXPECT_EQ(shapeDiffers, 0u);
    EXPECT_GT(expressionDiffers, 1000u);
}

TEST(SyntheticAssets, TheLipRingsRunAcrossTheFrontOfTheMouth) {
    const auto m = model("flame_model.pb");
    std::map<std::string, FlameMask::Indices> fixed(FlameMask::fixedRegions().begin(), FlameMask::fixedRegions().end());
    const auto& up = fixed.at("lip_outside_ring_upper");
    const auto& lo = fixed.at("lip_outside_ring_lower");
    float maxZ = -1;
    for (const auto& v : m.v_template) maxZ = std::max(maxZ, v.z);
    for (std::size_t i = 0; i < 15; ++i) {
        const auto p = m.v_template[std::size_t(up[i])], q = m.v_template[std::size_t(lo[i])];
        EXPECT_GT(p.y, q.y) << i;
        EXPECT_GT(p.z, 0.6f * maxZ) << i;
        if (i > 0) {
            EXPECT_LT(p.x, m.v_template[std::size_t(up[i - 1])].x) << i;
            EXPECT_LT(q.x, m.v_template[std::size_t(lo[i - 1])].x) << i;
        }
    }
    // The inner rings meet: the mouth is closed at rest.
    const auto& innerUp = fixed.at("lip_inside_ring_upper");
    const auto& innerLo = fixed.at("lip_inside_ring_lower");
    EXPECT_LT(simd::length(m.v_template[std::size_t(innerUp[7])] - m.v_template[std::size_t(innerLo[7])]), 1e-6f);
}

TEST(SyntheticAssets, CompanionFilesNameRealVerticesAndTriangles) {
    platform::files::setResourceDirectory(kResources);
    FlameHead head(300, 100, FlameVersion::V_2023);
    head.loadResource();
    platform::files::setResourceDirectory(std::nullopt);
    ASSERT_TRUE(head.isLoaded());
    const auto masks = json(kResources / "flame_masks.json");
    for (const auto& [name, list] : masks.items()) {
        EXPECT_FALSE(list.empty()) << name;
        for (const auto& v : list) ASSERT_TRUE(v.get<int>() >= 0 && v.get<int>() < 5023) << name;
    }
    for (const char* lid : {"l_eyelid.json", "r_eyelid.json"}) {
        const auto rows = json(kResources / lid);
        ASSERT_EQ(rows.size(), 5023u);
        for (const auto& row : rows) ASSERT_EQ(row.size(), 3u);
    }
    for (auto f : head.full_lmk_faces_idx) EXPECT_LT(std::size_t(f), head.faces.size());
    for (const auto& face : head.faces)
        for (auto v : face) ASSERT_LT(std::size_t(v), head.v_template.size());
}

TEST(SyntheticAssets, ThePointCloudIsBoundToTheHeadTeethIncluded) {
    platform::files::setResourceDirectory(kResources);
    FlameHead head(300, 100, FlameVersion::V_2023);
    head.loadResource();
    platform::files::setResourceDirectory(std::nullopt);
    AutodetectSceneReader reader(kCharacter / "model" / "point_cloud.ply");
    SplatMemoryBuffer cloud;
    cloud.read(reader);
    EXPECT_GT(cloud.points.size(), 90000u);
    EXPECT_LT(cloud.points.size(), 110000u);
    const std::size_t teethFirst = head.faces.size() - 168;
    std::size_t onTeeth = 0;
    for (const auto& p : cloud.points) {
        ASSERT_TRUE(p.binding.has_value());
        ASSERT_EQ(*p.binding, std::trunc(*p.binding));
        ASSERT_LT(std::size_t(*p.binding), head.faces.size());
        onTeeth += std::size_t(*p.binding) >= teethFirst;
    }
    EXPECT_GT(onTeeth, 500u);
}

TEST(SyntheticAssets, TheCharacterCameraFramesItsHead) {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR));
    const auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    ASSERT_TRUE(character);
    EXPECT_EQ(character->id(), "synthetic");
    ASSERT_EQ(character->idleAnimation()->frames.size(), 125u);
    EXPECT_EQ(character->idleAnimation()->frames[0].expr.size(), 100u);

    // The view as the renderer builds it: the camera settings applied to an identity transform,
    // view = inverse(translation) * inverse(rotation), a perspective of the field of view.
    const auto& c = character->camera();
    const auto transform = Mivo::Transform().transform(c.rotation, c.fovyRadians, c.translationX, c.translationY, c.translationZ);
    const auto view = simd::inverse(transform.translation) * simd::inverse(transform.rotation);
    const auto projection = perspectiveMatrix(transform.fovyRadians, 1.0f, 0.01f, 100.0f);

    MvCharacterBufferProvider provider(character->assetPaths(), platform::audio::AudioFormat::standard(16000, 1));
    const auto splats = provider.makeSplatBuffer(character->idleAnimation()->frames[0], FlameVersion::V_2023);
    ASSERT_TRUE(splats);
    float top = -2, bottom = 2, left = 2, right = -2;
    for (const auto& p : splats->points) {
        const auto clip = projection * (view * simd::float4{p.position.x, p.position.y, p.position.z, 1});
        ASSERT_GT(clip.w, 0.0f);
        const float x = clip.x / clip.w, y = clip.y / clip.w;
        top = std::max(top, y);
        bottom = std::min(bottom, y);
        left = std::min(left, x);
        right = std::max(right, x);
    }
    // Inside the frame, filling most of its height, about centred.
    EXPECT_LT(top, 1.0f);
    EXPECT_GT(top, 0.6f);
    EXPECT_LT(right, 0.9f);
    EXPECT_GT(left, -0.9f);
    EXPECT_NEAR(left + right, 0, 0.1f);
}
