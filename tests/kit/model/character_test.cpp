#include "kit/model/character.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace MivoKit;

using Mivo::AssetPaths;
using Mivo::CameraSettings;
using Mivo::Character;
using Net = SRNetworkFactory::NetworkType;

namespace {

class CharacterTest : public ::testing::Test {
protected:
    void SetUp() override { platform::files::setDocumentsDirectory(docs.path()); }
    void TearDown() override { platform::files::setDocumentsDirectory(std::nullopt); }

    std::filesystem::path root() const { return docs.path() / "MvCharacters"; }
    void writeCharacterJson(const std::string& path, const std::string& content) {
        testsupport::writeFile(root() / path / "character.json", content);
    }

    testsupport::TempDir docs;
};

TEST(CharacterConfiguration, VersionSelectsTheConfiguration) {
    auto sr = Mivo::makeCharacterConfiguration("0.1");
    EXPECT_EQ(sr.renderMode, RenderMode::SR);
    EXPECT_EQ(sr.srNetwork, Net::tolmira2023);
    EXPECT_EQ(sr.flameVersion, "2023");
    EXPECT_EQ(sr.idleAnimationFlameVersion, "2023");
    EXPECT_TRUE(sr.dragable);

    auto old = Mivo::makeCharacterConfiguration("0.9");
    EXPECT_EQ(old.renderMode, RenderMode::Default);
    EXPECT_EQ(old.srNetwork, Net::qd2020);
    EXPECT_EQ(old.flameVersion, "2020");
    EXPECT_EQ(old.idleAnimationFlameVersion, "2020");
    EXPECT_FALSE(old.dragable);

    for (const char* v : {"1.0", "", "0.10", "0.1 "}) {
        auto c = Mivo::makeCharacterConfiguration(v);
        EXPECT_EQ(c.renderMode, RenderMode::Default) << v;
        EXPECT_EQ(c.srNetwork, Net::qd2020) << v;
        EXPECT_EQ(c.flameVersion, "2023") << v;
        EXPECT_FALSE(c.dragable) << v;
    }
}

TEST(AssetPaths, LayoutBelowTheRootAndNeverAboveIt) {
    auto p = AssetPaths::assetPaths("abc/v1", "/root/MvCharacters");
    EXPECT_EQ(*p.characterUrl, "/root/MvCharacters/abc/v1/character.json");
    EXPECT_EQ(*p.idleFramesUrl, "/root/MvCharacters/abc/v1/animation/idle.json");
    EXPECT_EQ(*p.monoFramesUrl, "/root/MvCharacters/abc/v1/animation/mono.json");
    EXPECT_EQ(*p.monoAudioUrl, "/root/MvCharacters/abc/v1/animation/mono.wav");
    EXPECT_EQ(*p.shapeJsonUrl, "/root/MvCharacters/abc/v1/model/shape.json");
    EXPECT_EQ(*p.staticOffsetJsonUrl, "/root/MvCharacters/abc/v1/model/static_offset.json");
    EXPECT_EQ(*p.pointCloudModelUrl, "/root/MvCharacters/abc/v1/model/point_cloud.ply");
    EXPECT_FALSE(p.shapeMetaDataJsonUrl);

    // An absolute path is still appended below the root.
    EXPECT_EQ(*AssetPaths::assetPaths("/abs//x/", "/root").characterUrl, "/root/abs/x/character.json");
}

TEST_F(CharacterTest, CreateCharacterReadsCharacterJsonAndIdleFrames) {
    writeCharacterJson("hero", R"({"characterID":"hero","version":"0.1",
        "camera":{"rotation":0.5,"fovyRadians":true,"translationX":"1","translationY":-2,"translationZ":null}})");
    testsupport::writeFile(root() / "hero/animation/idle.json",
                           R"([{"content":{"translation":[[1,2,3]],"rotation":[[0.1,0.2,0.3]]}},{"content":{}}])");
    auto c = Character::createCharacter("hero");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->id(), "hero");
    EXPECT_EQ(c->version(), "0.1");
    EXPECT_EQ(c->camera(), CameraSettings(0.5f, 1.0f, 0.0f, -2.0f, 0.0f));
    EXPECT_EQ(c->configuration().renderMode, RenderMode::SR);
    EXPECT_FLOAT_EQ(c->aspectRatio(), 0.86466163f);

    auto anim = c->idleAnimation();
    ASSERT_TRUE(anim);
    EXPECT_EQ(anim->frames.size(), 2u);
    EXPECT_EQ(anim->flameVersion, FlameVersion::V_2023);
    EXPECT_EQ(anim->currentIndex, 0);
    EXPECT_DOUBLE_EQ(anim->transitionDuration, 0.2);
    EXPECT_TRUE(anim->isRepeat);
    EXPECT_FALSE(anim->toIdle);
    EXPECT_EQ(*c->assetPaths().pointCloudModelUrl, root() / "hero/model/point_cloud.ply");
}

TEST_F(CharacterTest, CreateCharacterFallsBackForMissingOrWrongValues) {
    writeCharacterJson("a", R"({"characterID": 42})");
    auto c = Character::createCharacter("a");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->id(), "");
    EXPECT_EQ(c->version(), "1.0");
    EXPECT_EQ(c->camera(), CameraSettings());
    EXPECT_TRUE(c->idleAnimation()->frames.empty());
    EXPECT_FLOAT_EQ(c->aspectRatio(), 1.0f);

    writeCharacterJson("array", "[1, 2]");
    auto fromArray = Character::createCharacter("array");
    ASSERT_TRUE(fromArray);
    EXPECT_EQ(fromArray->version(), "1.0");

    writeCharacterJson("broken", "{ not json");
    EXPECT_FALSE(Character::createCharacter("broken"));
    EXPECT_FALSE(Character::createCharacter("missing"));
}

TEST_F(CharacterTest, NestedPathsAndIdleVersionByConfiguration) {
    writeCharacterJson("name/v1", R"({"characterID":"name","version":"0.9","camera":{}})");
    auto c = Character::createCharacter("name/v1");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->assetPaths().characterUrl->parent_path(), root() / "name" / "v1");
    EXPECT_EQ(c->idleAnimation()->flameVersion, FlameVersion::V_2020);
}

TEST_F(CharacterTest, InitialiserPrintsTheIdlePathAndSurvivesAMissingFile) {
    platform::log::Capture capture;
    Character c("x", "1.0", CameraSettings(0, 1, 0, 0, -1), "x");
    EXPECT_TRUE(c.idleAnimation()->frames.empty());
    auto printed = capture.printed();
    ASSERT_GE(printed.size(), 2u);
    EXPECT_EQ(printed[0], "文件路径：" + (root() / "x/animation/idle.json").string());
    EXPECT_EQ(printed[1].rfind("读取 JSON 文件时出错：", 0), 0u);
}

TEST_F(CharacterTest, CodingKeepsIdentityAndResetsTheRest) {
    writeCharacterJson("hero", R"({"characterID":"hero","version":"0.1","camera":{"rotation":0.1}})");
    auto c = Character::createCharacter("hero");
    ASSERT_TRUE(c);
    auto encoded = c->encode();
    EXPECT_EQ(encoded.dump(),
              R"({"version":"0.1","camera":{"rotation":0.1,"fovyRadians":0.0,"translationX":0.0,"translationY":0.0,"translationZ":0.0},"characterID":"hero"})");

    auto decoded = Character::decode(nlohmann::json::parse(encoded.dump()));
    EXPECT_EQ(decoded.id(), "hero");
    EXPECT_EQ(decoded.version(), "0.1");
    EXPECT_EQ(decoded.camera(), c->camera());
    EXPECT_EQ(decoded.configuration().renderMode, RenderMode::Default);
    EXPECT_EQ(decoded.configuration().srNetwork, Net::qd2020);
    EXPECT_FALSE(decoded.assetPaths().idleFramesUrl);
    EXPECT_TRUE(decoded.idleAnimation()->frames.empty());
    EXPECT_EQ(decoded.idleAnimation()->flameVersion, FlameVersion::V_2020);
}

TEST(CharacterDecoding, CameraSettingsOfAnyFiniteFloatsSurviveTheirCoding) {
    constexpr float largest = std::numeric_limits<float>::max();
    const CameraSettings camera(largest, -largest, std::numeric_limits<float>::denorm_min(), -0.0f, 0.1f);
    const auto decoded = CameraSettings::decode(nlohmann::json::parse(camera.encode().dump()));
    EXPECT_EQ(decoded, camera);
}

TEST(CharacterDecoding, StrictAboutKeysAndTypes) {
    const auto camera = R"({"rotation":1,"fovyRadians":1,"translationX":1,"translationY":1,"translationZ":1})";
    auto doc = [&](const std::string& fields) { return nlohmann::json::parse("{" + fields + "}"); };
    EXPECT_NO_THROW(Character::decode(doc(std::string(R"("version":"1","characterID":"a","camera":)") + camera)));
    EXPECT_THROW(Character::decode(doc(std::string(R"("version":"1","camera":)") + camera)), json_values::JsonDecodeError);
    EXPECT_THROW(Character::decode(doc(std::string(R"("version":1,"characterID":"a","camera":)") + camera)),
                 json_values::JsonDecodeError);
    EXPECT_THROW(Character::decode(doc(R"("version":"1","characterID":"a","camera":{"rotation":1})")),
                 json_values::JsonDecodeError);
    // A boolean is not a number, and a number beyond the float range does not fit.
    EXPECT_THROW(CameraSettings::decode(nlohmann::json::parse(
                     R"({"rotation":true,"fovyRadians":1,"translationX":1,"translationY":1,"translationZ":1})")),
                 json_values::JsonDecodeError);
    EXPECT_THROW(CameraSettings::decode(nlohmann::json::parse(
                     R"({"rotation":1e40,"fovyRadians":1,"translationX":1,"translationY":1,"translationZ":1})")),
                 json_values::JsonDecodeError);
}

TEST(CharactersDirectory, LivesInDocuments) {
    testsupport::TempDir docs;
    platform::files::setDocumentsDirectory(docs.path());
    EXPECT_EQ(MivoSDK::Configuration::charactersDirectoryUrl(), docs.path() / "MvCharacters");
    platform::files::setDocumentsDirectory(std::nullopt);
}

} // namespace
