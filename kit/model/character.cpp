#include "kit/model/character.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/model/path_join.hpp"

#include <fstream>
#include <sstream>

namespace MivoKit {

namespace jsonv = json_values;

namespace Mivo {
namespace {

constexpr double kTransitionDuration = 0.2;

std::shared_ptr<Animation> makeIdleAnimation(std::vector<FlameFrameData> frames, FlameVersion version) {
    return std::make_shared<Animation>(std::move(frames), version, 0, kTransitionDuration, true, false);
}

// A camera value of "character.json": numbers and booleans count, anything else is 0.
float cameraValue(const jsonv::json& camera, const char* key) {
    return static_cast<float>(jsonv::optionalNumber(jsonv::member(camera, key)).value_or(0.0));
}

} // namespace

jsonv::ordered_json CameraSettings::encode() const {
    jsonv::ordered_json out = jsonv::ordered_json::object();
    out["rotation"] = jsonv::encodeFloat(rotation);
    out["fovyRadians"] = jsonv::encodeFloat(fovyRadians);
    out["translationX"] = jsonv::encodeFloat(translationX);
    out["translationY"] = jsonv::encodeFloat(translationY);
    out["translationZ"] = jsonv::encodeFloat(translationZ);
    return out;
}

CameraSettings CameraSettings::decode(const jsonv::json& value) {
    jsonv::requireObject(value, "camera");
    auto f = [&](const char* key) { return jsonv::decodeFloat(jsonv::requireMember(value, key), key); };
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
    auto document = jsonv::parse(bytes.str());
    if (!document) return std::nullopt;

    const auto& idValue = jsonv::member(*document, "characterID");
    const auto& versionValue = jsonv::member(*document, "version");
    const auto& camera = jsonv::member(*document, "camera");
    std::string id = idValue.is_string() ? idValue.get<std::string>() : std::string();
    std::string version = versionValue.is_string() ? versionValue.get<std::string>() : std::string("1.0");
    CameraSettings settings(cameraValue(camera, "rotation"), cameraValue(camera, "fovyRadians"),
                            cameraValue(camera, "translationX"), cameraValue(camera, "translationY"),
                            cameraValue(camera, "translationZ"));
    return Character(std::move(id), std::move(version), settings, path);
}

jsonv::ordered_json Character::encode() const {
    jsonv::ordered_json out = jsonv::ordered_json::object();
    out["version"] = version_;
    out["camera"] = camera_.encode();
    out["characterID"] = id_;
    return out;
}

Character Character::decode(const jsonv::json& value) {
    jsonv::requireObject(value, "Character");
    Character c;
    c.version_ = jsonv::decodeString(jsonv::requireMember(value, "version"), "version");
    c.camera_ = CameraSettings::decode(jsonv::requireMember(value, "camera"));
    c.id_ = jsonv::decodeString(jsonv::requireMember(value, "characterID"), "characterID");
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
