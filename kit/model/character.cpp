#include "kit/model/character.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/model/path_join.hpp"

#include <fstream>
#include <sstream>

namespace MivoKit {

namespace json = json_values;

namespace Mivo {
namespace {

constexpr double kTransitionDuration = 0.2;

std::shared_ptr<Animation> makeIdleAnimation(std::vector<FlameFrameData> frames, FlameVersion version) {
    return std::make_shared<Animation>(std::move(frames), version, 0, kTransitionDuration, true, false);
}

// A camera value of "character.json": numbers and booleans count, anything else is 0.
float cameraValue(const json::json& camera, const char* key) {
    return static_cast<float>(json::optionalNumber(json::member(camera, key)).value_or(0.0));
}

} // namespace

json::ordered_json CameraSettings::encode() const {
    json::ordered_json out = json::ordered_json::object();
    out["rotation"] = json::encodeFloat(rotation);
    out["fovyRadians"] = json::encodeFloat(fovyRadians);
    out["translationX"] = json::encodeFloat(translationX);
    out["translationY"] = json::encodeFloat(translationY);
    out["translationZ"] = json::encodeFloat(translationZ);
    return out;
}

CameraSettings CameraSettings::decode(const json::json& value) {
    json::requireObject(value, "camera");
    auto f = [&](const char* key) { return json::decodeFloat(json::requireMember(value, key), key); };
    return CameraSettings(f("rotation"), f("fovyRadians"), f("translationX"), f("translationY"), f("translationZ"));
}

CharacterConfiguration makeCharacterConfiguration(std::string_view version) {
    CharacterConfiguration c;
    if (version == "0.1") {
        c.renderMode = RenderMode::SR;
        c.srNetwork = SRNetworkFactory::NetworkType::tolmira2023;
        c.flameVersion = "2023";
        c.idleAnimationFlameVersion = "2023";
        c.dragable = true;
    } else if (version == "0.9") {
        c.flameVersion = "2020";
        c.idleAnimationFlameVersion = "2020";
    }
    return c;
}

AssetPaths AssetPaths::assetPaths(std::string_view forPath, const std::filesystem::path& rootPath) {
    const auto directory = appendRelative(rootPath, forPath);
    const auto animation = directory / "animation";
    const auto model = directory / "model";
    AssetPaths p;
    p.characterUrl = directory / "character.json";
    p.idleFramesUrl = animation / "idle.json";
    p.monoFramesUrl = animation / "mono.json";
    p.monoAudioUrl = animation / "mono.wav";
    p.shapeJsonUrl = model / "shape.json";
    p.staticOffsetJsonUrl = model / "static_offset.json";
    p.pointCloudModelUrl = model / "point_cloud.ply";
    return p;
}

Character::Character(std::string id, std::string version, CameraSettings camera, std::string_view path)
    : configuration_(makeCharacterConfiguration(version)) {
    assetPaths_ = AssetPaths::assetPaths(path, MivoSDK::Configuration::charactersDirectoryUrl());
    std::optional<std::string> idlePath;
    if (assetPaths_.idleFramesUrl) idlePath = assetPaths_.idleFramesUrl->string();
    auto frames = loadAnimationFrames(idlePath);
    const auto idleVersion =
        fromRaw<FlameVersion>(configuration_.idleAnimationFlameVersion).value_or(FlameVersion::V_2020);
    idleAnimation_ = makeIdleAnimation(std::move(frames), idleVersion);
    id_ = std::move(id);
    version_ = std::move(version);
    camera_ = camera;
}

std::optional<Character> Character::createCharacter(std::string_view path) {
    const auto paths = AssetPaths::assetPaths(path, MivoSDK::Configuration::charactersDirectoryUrl());
    if (!paths.characterUrl) return std::nullopt;
    std::ifstream in(*paths.characterUrl, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return std::nullopt;
    auto document = json::parse(bytes.str());
    if (!document) return std::nullopt;

    const auto& idValue = json::member(*document, "characterID");
    const auto& versionValue = json::member(*document, "version");
    const auto& camera = json::member(*document, "camera");
    std::string id = idValue.is_string() ? idValue.get<std::string>() : std::string();
    std::string version = versionValue.is_string() ? versionValue.get<std::string>() : std::string("1.0");
    CameraSettings settings(cameraValue(camera, "rotation"), cameraValue(camera, "fovyRadians"),
                            cameraValue(camera, "translationX"), cameraValue(camera, "translationY"),
                            cameraValue(camera, "translationZ"));
    return Character(std::move(id), std::move(version), settings, path);
}

json::ordered_json Character::encode() const {
    json::ordered_json out = json::ordered_json::object();
    out["version"] = version_;
    out["camera"] = camera_.encode();
    out["characterID"] = id_;
    return out;
}

Character Character::decode(const json::json& value) {
    json::requireObject(value, "Character");
    Character c;
    c.version_ = json::decodeString(json::requireMember(value, "version"), "version");
    c.camera_ = CameraSettings::decode(json::requireMember(value, "camera"));
    c.id_ = json::decodeString(json::requireMember(value, "characterID"), "characterID");
    c.configuration_ = CharacterConfiguration{};
    c.assetPaths_ = AssetPaths{};
    c.idleAnimation_ = makeIdleAnimation({}, FlameVersion::V_2020);
    return c;
}

float Character::aspectRatio() const {
    return SRNetworkFactory::networkSize(configuration_.srNetwork).aspectRatio;
}

} // namespace Mivo

} // namespace MivoKit
