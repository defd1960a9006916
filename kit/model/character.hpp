#pragma once
// A character: identifier, version, camera, the configuration its version selects, its idle
// animation and the locations of its files in its directory under the characters directory.

#include "kit/model/animation.hpp"
#include "kit/model/json_values.hpp"
#include "kit/model/sr_network.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace MivoKit {

namespace Mivo {

struct CameraSettings {
    float rotation = 0;    // about the vertical axis, radians
    float fovyRadians = 0; // vertical field of view
    float translationX = 0;
    float translationY = 0;
    float translationZ = 0;

    CameraSettings() = default;
    CameraSettings(float rotation, float fovyRadians, float translationX, float translationY, float translationZ)
        : rotation(rotation), fovyRadians(fovyRadians), translationX(translationX), translationY(translationY),
          translationZ(translationZ) {}

    friend bool operator==(const CameraSettings&, const CameraSettings&) = default;

    // The five keys named as the fields, in field order.
    json_values::ordered_json encode() const;
    // All five keys required, each a number that fits a 32-bit float; throws JsonDecodeError.
    static CameraSettings decode(const json_values::json& value);
};

struct CharacterConfiguration {
    RenderMode renderMode = RenderMode::Default;
    SRNetworkFactory::NetworkType srNetwork = SRNetworkFactory::NetworkType::qd2020;
    std::string flameVersion = "2023";              // a FlameVersion raw value
    std::string idleAnimationFlameVersion = "2023"; // a FlameVersion raw value
    bool dragable = false;
};

// The configuration a version selects: "0.1" SR with tolmira2023, "0.9" the 2020 model, else the defaults.
CharacterConfiguration makeCharacterConfiguration(std::string_view version);

struct AssetPaths {
    using Url = std::optional<std::filesystem::path>;
    Url characterUrl;
    Url idleFramesUrl;
    Url monoFramesUrl;
    Url monoAudioUrl;
    Url shapeJsonUrl;
    Url staticOffsetJsonUrl;
    Url shapeMetaDataJsonUrl; // always absent in the directory layout
    Url pointCloudModelUrl;

    // The layout of the directory rootPath + path. Touches no file.
    static AssetPaths assetPaths(std::string_view forPath, const std::filesystem::path& rootPath);
};

class Character {
public:
    // A character in the directory `path` below the characters directory; reads its idle frames.
    Character(std::string id, std::string version, CameraSettings camera, std::string_view path);

    // A character from the directory `path` and its "character.json"; nothing when that file is
    // missing, unreadable or not JSON.
    static std::optional<Character> createCharacter(std::string_view path);

    // Coded form: "version", "camera", "characterID", in that order.
    json_values::ordered_json encode() const;
    // Requires the three keys; the configuration, asset paths and idle animation get their
    // initial values (not those the version would select). Throws JsonDecodeError.
    static Character decode(const json_values::json& value);

    const std::string& id() const { return id_; }
    const std::string& version() const { return version_; }
    const CameraSettings& camera() const { return camera_; }
    const CharacterConfiguration& configuration() const { return configuration_; }

    const std::shared_ptr<Animation>& idleAnimation() const { return idleAnimation_; }
    void setIdleAnimation(std::shared_ptr<Animation> animation) { idleAnimation_ = std::move(animation); }
    const AssetPaths& assetPaths() const { return assetPaths_; }
    AssetPaths& assetPaths() { return assetPaths_; }
    void setAssetPaths(AssetPaths paths) { assetPaths_ = std::move(paths); }

    // Width over height of the super-resolution network the configuration names.
    float aspectRatio() const;

private:
    Character() = default;

    std::string id_;
    std::string version_;
    CameraSettings camera_;
    CharacterConfiguration configuration_;
    std::shared_ptr<Animation> idleAnimation_;
    AssetPaths assetPaths_;
};

} // namespace Mivo

} // namespace MivoKit
