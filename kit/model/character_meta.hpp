#pragma once
// The character description returned by the character service, decoded strictly: a missing
// required key, null, a value of the wrong JSON type or text holding a NUL character (which the
// cache index and paths cannot keep) fails the whole decode.

#include "kit/model/character.hpp"
#include "kit/model/json_values.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace Mivo {

struct CharacterMeta {
    struct Eyelid {
        bool autoEyelidAdjustment = false;
        bool enabled = false;
        float eyelidThreshold = 0;
        std::vector<float> targets;

        friend bool operator==(const Eyelid&, const Eyelid&) = default;
        // Keys written in the order "auto_eyelid_adjustment", "eyelid_threshold", "enabled", "targets".
        json_values::ordered_json encode() const;
        static Eyelid decode(const json_values::json& value);
    };

    struct CharacterSettings {
        Eyelid eyelid;
    };

    struct ModelSettings {
        CameraSettings camera;
        std::vector<double> rotation;
    };

    struct Asset {
        std::string id;
        std::string name;
        std::string type;
        std::string url;
        std::string filename;
        std::string updatedAt;
    };

    struct AssetGroup {
        std::string id;
        std::string name;
        std::string coverUrl;
        std::vector<Asset> assets;
        std::string updatedAt;
    };

    enum class AssetType { cover, compressAnimation, compressModel };

    std::string id;
    std::vector<std::string> scene;
    std::string version;
    std::string name;
    std::string status;
    std::optional<CharacterSettings> characterSettings; // absent or null gives none
    ModelSettings modelSettings;
    std::vector<AssetGroup> assetGroups;
    std::string updatedAt; // opaque stamp, compared as text

    // Throws json_values::JsonDecodeError.
    static CharacterMeta decode(const json_values::json& value);
    // Parses and decodes a response body; throws JsonDecodeError for bytes that are not JSON too.
    static CharacterMeta decode(std::string_view bytes);
    // The same keys in the same order; "characterSettings" omitted when none.
    json_values::ordered_json encode() const;

    // The url of the first asset of that type over all groups in order.
    std::optional<std::string> compressAnimationAssetUrl() const;
    std::optional<std::string> compressModelAssetUrl() const;

private:
    std::optional<std::string> firstAssetUrl(AssetType type) const;
};

} // namespace Mivo

template <>
struct RawValues<Mivo::CharacterMeta::AssetType> {
    static constexpr std::array<std::pair<Mivo::CharacterMeta::AssetType, std::string_view>, 3> table{{
        {Mivo::CharacterMeta::AssetType::cover, "ASSET_TYPE_COVER"},
        {Mivo::CharacterMeta::AssetType::compressAnimation, "ASSET_TYPE_COMPRESS_ANIMATION"},
        {Mivo::CharacterMeta::AssetType::compressModel, "ASSET_TYPE_COMPRESS_MODEL"},
    }};
};

} // namespace MivoKit

template <>
struct std::hash<MivoKit::Mivo::CharacterMeta::Eyelid> {
    std::size_t operator()(const MivoKit::Mivo::CharacterMeta::Eyelid& e) const noexcept;
};
