#include "kit/model/character_meta.hpp"

namespace MivoKit {

namespace json = json_values;

namespace Mivo {
namespace {

// The description's text ends up in the cache index and in paths, which cannot hold a NUL.
const std::string& withoutNul(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos)
        throw json::JsonDecodeError(std::string(what) + ": text holds a NUL character");
    return text;
}

std::string str(const json::json& object, const char* key) {
    return withoutNul(json::decodeString(json::requireMember(object, key), key), key);
}

std::vector<std::string> strs(const json::json& object, const char* key) {
    auto values = json::decodeStringArray(json::requireMember(object, key), key);
    for (const auto& value : values) withoutNul(value, key);
    return values;
}

CharacterMeta::Asset decodeAsset(const json::json& v) {
    json::requireObject(v, "asset");
    CharacterMeta::Asset a;
    a.id = str(v, "id");
    a.name = str(v, "name");
    a.type = str(v, "type");
    a.url = str(v, "url");
    a.filename = str(v, "filename");
    a.updatedAt = str(v, "updatedAt");
    return a;
}

CharacterMeta::AssetGroup decodeGroup(const json::json& v) {
    json::requireObject(v, "assetGroup");
    CharacterMeta::AssetGroup g;
    g.id = str(v, "id");
    g.name = str(v, "name");
    g.coverUrl = str(v, "coverUrl");
    const auto& assets = json::requireMember(v, "assets");
    if (!assets.is_array()) throw json::JsonDecodeError("assets: expected array");
    for (const auto& a : assets) g.assets.push_back(decodeAsset(a));
    g.updatedAt = str(v, "updatedAt");
    return g;
}

json::ordered_json encodeFloats(const std::vector<float>& values) {
    json::ordered_json out = json::ordered_json::array();
    for (float v : values) out.push_back(json::encodeFloat(v));
    return out;
}

} // namespace

json::ordered_json CharacterMeta::Eyelid::encode() const {
    json::ordered_json out = json::ordered_json::object();
    out["auto_eyelid_adjustment"] = autoEyelidAdjustment;
    out["eyelid_threshold"] = json::encodeFloat(eyelidThreshold);
    out["enabled"] = enabled;
    out["targets"] = encodeFloats(targets);
    return out;
}

CharacterMeta::Eyelid CharacterMeta::Eyelid::decode(const json::json& v) {
    json::requireObject(v, "eyelid");
    Eyelid e;
    e.autoEyelidAdjustment =
        json::decodeBool(json::requireMember(v, "auto_eyelid_adjustment"), "auto_eyelid_adjustment");
    e.enabled = json::decodeBool(json::requireMember(v, "enabled"), "enabled");
    e.eyelidThreshold = json::decodeFloat(json::requireMember(v, "eyelid_threshold"), "eyelid_threshold");
    e.targets = json::decodeFloatArray(json::requireMember(v, "targets"), "targets");
    return e;
}

CharacterMeta CharacterMeta::decode(const json::json& v) {
    json::requireObject(v, "CharacterMeta");
    CharacterMeta m;
    m.id = str(v, "id");
    m.scene = strs(v, "scene");
    m.version = str(v, "version");
    m.name = str(v, "name");
    m.status = str(v, "status");
    if (auto it = v.find("characterSettings"); it != v.end() && !it->is_null()) {
        json::requireObject(*it, "characterSettings");
        m.characterSettings = CharacterSettings{Eyelid::decode(json::requireMember(*it, "eyelid"))};
    }
    const auto& model = json::requireMember(v, "modelSettings");
    json::requireObject(model, "modelSettings");
    m.modelSettings.camera = CameraSettings::decode(json::requireMember(model, "camera"));
    m.modelSettings.rotation = json::decodeDoubleArray(json::requireMember(model, "rotation"), "rotation");
    const auto& groups = json::requireMember(v, "assetGroups");
    if (!groups.is_array()) throw json::JsonDecodeError("assetGroups: expected array");
    for (const auto& g : groups) m.assetGroups.push_back(decodeGroup(g));
    m.updatedAt = str(v, "updatedAt");
    return m;
}

CharacterMeta CharacterMeta::decode(std::string_view bytes) {
    std::string error;
    auto document = json::parse(bytes, &error);
    if (!document) throw json::JsonDecodeError("not JSON: " + error);
    return decode(*document);
}

json::ordered_json CharacterMeta::encode() const {
    json::ordered_json out = json::ordered_json::object();
    out["id"] = id;
    out["scene"] = scene;
    out["version"] = version;
    out["name"] = name;
    out["status"] = status;
    if (characterSettings) {
        json::ordered_json settings = json::ordered_json::object();
        settings["eyelid"] = characterSettings->eyelid.encode();
        out["characterSettings"] = std::move(settings);
    }
    json::ordered_json model = json::ordered_json::object();
    model["camera"] = modelSettings.camera.encode();
    model["rotation"] = modelSettings.rotation;
    out["modelSettings"] = std::move(model);
    json::ordered_json groups = json::ordered_json::array();
    for (const auto& g : assetGroups) {
        json::ordered_json group = json::ordered_json::object();
        group["id"] = g.id;
        group["name"] = g.name;
        group["coverUrl"] = g.coverUrl;
        json::ordered_json assets = json::ordered_json::array();
        for (const auto& a : g.assets) {
            json::ordered_json asset = json::ordered_json::object();
            asset["id"] = a.id;
            asset["name"] = a.name;
            asset["type"] = a.type;
            asset["url"] = a.url;
            asset["filename"] = a.filename;
            asset["updatedAt"] = a.updatedAt;
            assets.push_back(std::move(asset));
        }
        group["assets"] = std::move(assets);
        group["updatedAt"] = g.updatedAt;
        groups.push_back(std::move(group));
    }
    out["assetGroups"] = std::move(groups);
    out["updatedAt"] = updatedAt;
    return out;
}

std::optional<std::string> CharacterMeta::firstAssetUrl(AssetType type) const {
    const std::string_view wanted = toRaw(type);
    for (const auto& group : assetGroups)
        for (const auto& asset : group.assets)
            if (asset.type == wanted) return asset.url;
    return std::nullopt;
}

std::optional<std::string> CharacterMeta::compressAnimationAssetUrl() const {
    return firstAssetUrl(AssetType::compressAnimation);
}

std::optional<std::string> CharacterMeta::compressModelAssetUrl() const {
    return firstAssetUrl(AssetType::compressModel);
}

} // namespace Mivo

} // namespace MivoKit

std::size_t std::hash<MivoKit::Mivo::CharacterMeta::Eyelid>::operator()(const MivoKit::Mivo::CharacterMeta::Eyelid& e) const noexcept {
    std::size_t h = std::hash<bool>{}(e.autoEyelidAdjustment);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<bool>{}(e.enabled));
    mix(std::hash<float>{}(e.eyelidThreshold));
    for (float t : e.targets) mix(std::hash<float>{}(t));
    return h;
}
