#include "kit/model/character_meta.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using Mivo::CharacterMeta;
using nlohmann::json;

namespace {

json asset(const std::string& type, const std::string& url) {
    return {{"id", "a"}, {"name", "n"}, {"type", type}, {"url", url}, {"filename", "f.zip"}, {"updatedAt", "t"}};
}

json group(std::vector<json> assets) {
    return {{"id", "g"}, {"name", "n"}, {"coverUrl", "c"}, {"assets", assets}, {"updatedAt", "t"}};
}

json description() {
    return {{"id", "hero"},
            {"scene", {"chat"}},
            {"version", "1.0"},
            {"name", "Hero"},
            {"status", "ok"},
            {"characterSettings",
             {{"eyelid", {{"auto_eyelid_adjustment", true}, {"enabled", false}, {"eyelid_threshold", 0.1},
                          {"targets", {0.5, 1}}}}}},
            {"modelSettings",
             {{"camera", {{"rotation", 0}, {"fovyRadians", 0.5}, {"translationX", 0}, {"translationY", 0.1},
                          {"translationZ", -1}}},
              {"rotation", {0.0, 1.5}}}},
            {"assetGroups",
             {group({asset("ASSET_TYPE_COMPRESS_MODEL", "M1")}),
              group({asset("ASSET_TYPE_COMPRESS_ANIMATION", "A1"), asset("ASSET_TYPE_COMPRESS_ANIMATION", "A2"),
                     asset("ASSET_TYPE_COMPRESS_MODEL", "M2")})}},
            {"updatedAt", "2026-01-01"},
            {"unknownKey", {{"anything", 1}}}};
}

TEST(CharacterMeta, DecodesAllFieldsAndFindsTheFirstArchiveOfEachType) {
    auto m = CharacterMeta::decode(description());
    EXPECT_EQ(m.id, "hero");
    EXPECT_EQ(m.scene, std::vector<std::string>{"chat"});
    EXPECT_EQ(m.updatedAt, "2026-01-01");
    ASSERT_TRUE(m.characterSettings);
    EXPECT_TRUE(m.characterSettings->eyelid.autoEyelidAdjustment);
    EXPECT_FLOAT_EQ(m.characterSettings->eyelid.eyelidThreshold, 0.1f);
    EXPECT_EQ(m.modelSettings.camera, Mivo::CameraSettings(0, 0.5f, 0, 0.1f, -1));
    EXPECT_EQ(m.modelSettings.rotation, (std::vector<double>{0.0, 1.5}));
    EXPECT_EQ(m.compressAnimationAssetUrl(), "A1");
    EXPECT_EQ(m.compressModelAssetUrl(), "M1");
}

TEST(CharacterMeta, OptionalSettingsAndEmptyGroups) {
    auto d = description();
    d.erase("characterSettings");
    EXPECT_FALSE(CharacterMeta::decode(d).characterSettings);
    d["characterSettings"] = nullptr;
    EXPECT_FALSE(CharacterMeta::decode(d).characterSettings);
    d["assetGroups"] = json::array();
    auto m = CharacterMeta::decode(d);
    EXPECT_FALSE(m.compressAnimationAssetUrl());
    EXPECT_FALSE(m.compressModelAssetUrl());

    d["assetGroups"] = json::array({group({asset("asset_type_compress_model", "lower"), asset("OTHER", "x")})});
    EXPECT_FALSE(CharacterMeta::decode(d).compressModelAssetUrl());
}

TEST(CharacterMeta, AnyMissingOrMistypedRequiredValueFailsTheWholeDecode) {
    std::vector<std::function<void(json&)>> breakers = {
        [](json& d) { d.erase("id"); },
        [](json& d) { d["id"] = nullptr; },
        [](json& d) { d["version"] = 1.0; },
        [](json& d) { d["name"] = true; },
        [](json& d) { d["scene"] = "chat"; },
        [](json& d) { d["assetGroups"] = json::object(); },
        [](json& d) { d["modelSettings"]["camera"].erase("translationZ"); },
        [](json& d) { d["modelSettings"]["camera"]["rotation"] = "0"; },
        [](json& d) { d["modelSettings"]["camera"]["rotation"] = true; },
        [](json& d) { d["modelSettings"]["camera"]["rotation"] = 1e40; },
        [](json& d) { d["modelSettings"].erase("rotation"); },
        [](json& d) { d["characterSettings"] = json::object(); },
        [](json& d) { d["characterSettings"]["eyelid"].erase("targets"); },
        [](json& d) { d["characterSettings"]["eyelid"]["enabled"] = 1; },
        [](json& d) { d["characterSettings"]["eyelid"]["eyelid_threshold"] = false; },
        [](json& d) { d["assetGroups"][0]["assets"][0].erase("filename"); },
        [](json& d) { d["assetGroups"][1]["coverUrl"] = 3; },
    };
    for (std::size_t i = 0; i < breakers.size(); ++i) {
        json d = description();
        breakers[i](d);
        EXPECT_THROW(CharacterMeta::decode(d), json_values::JsonDecodeError) << "case " << i;
    }
    EXPECT_THROW(CharacterMeta::decode(std::string_view("not json")), json_values::JsonDecodeError);
}

TEST(CharacterMeta, TextHoldingANulCharacterFailsTheWholeDecode) {
    // The kit keeps a description's text in the cache index and in paths, neither of which can
    // hold a NUL: such a description is refused where it arrives.
    const std::string nul("2024\0-01", 8);
    std::vector<std::function<void(json&)>> breakers = {
        [&](json& d) { d["id"] = nul; },
        [&](json& d) { d["version"] = nul; },
        [&](json& d) { d["updatedAt"] = nul; },
        [&](json& d) { d["name"] = nul; },
        [&](json& d) { d["status"] = nul; },
        [&](json& d) { d["scene"].push_back(nul); },
        [&](json& d) { d["assetGroups"][1]["updatedAt"] = nul; },
        [&](json& d) { d["assetGroups"][1]["assets"][0]["url"] = nul; },
        [&](json& d) { d["assetGroups"][0]["assets"][0]["type"] = nul; },
    };
    for (std::size_t i = 0; i < breakers.size(); ++i) {
        json d = description();
        breakers[i](d);
        EXPECT_THROW(CharacterMeta::decode(std::string_view(d.dump())), json_values::JsonDecodeError) << "case " << i;
    }
}

TEST(CharacterMeta, EncodingRoundTripsInKeyOrder) {
    auto d = description();
    d.erase("characterSettings");
    auto m = CharacterMeta::decode(d);
    auto encoded = m.encode();
    EXPECT_FALSE(encoded.contains("characterSettings"));
    std::vector<std::string> keys;
    for (auto& [k, v] : encoded.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "scene", "version", "name", "status", "modelSettings",
                                              "assetGroups", "updatedAt"}));
    auto again = CharacterMeta::decode(std::string_view(encoded.dump()));
    EXPECT_EQ(again.encode().dump(), encoded.dump());
}

TEST(CharacterMetaEyelid, EncodingOrderEqualityAndHash) {
    CharacterMeta::Eyelid e{true, false, 0.1f, {0.5f, 1}};
    EXPECT_EQ(e.encode().dump(),
              R"({"auto_eyelid_adjustment":true,"eyelid_threshold":0.1,"enabled":false,"targets":[0.5,1.0]})");
    CharacterMeta::Eyelid same = CharacterMeta::Eyelid::decode(json::parse(e.encode().dump()));
    EXPECT_EQ(same, e);
    EXPECT_EQ(std::hash<CharacterMeta::Eyelid>{}(same), std::hash<CharacterMeta::Eyelid>{}(e));
    CharacterMeta::Eyelid shorter = e;
    shorter.targets.pop_back();
    EXPECT_NE(shorter, e);
    CharacterMeta::Eyelid other = e;
    other.enabled = true;
    EXPECT_NE(other, e);
}

} // namespace
