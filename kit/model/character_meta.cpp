#include "kit/model/character_meta.hpp"

namespace MivoKit {

namespace jsonv = json_values;

namespace Mivo {
namespace {

// The description's text ends up in the cache index and in paths, which cannot hold a NUL.
const std::string& withoutNul(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos)
        throw jsonv::JsonDecodeError(std::string(what) + ": text holds a NUL character");
    return text;
}

std::string str(const jsonv::json& object, const char* key) {
    return withoutNul(jsonv::decodeString(jsonv::requireMember(object, key), key), key);
}

std::vector<std::string> strs(const jsonv::json& object, const char* key) {
    auto values = jsonv::decodeStringArray(jsonv::requireMember(object, key), key);
    for (const auto& value : values) withoutNul(value, key);
    return values;
}

CharacterMeta::Asset decodeAsset(const jsonv::json& v) {
    jsonv::requireObject(v, "asset");
    CharacterMeta::Asset a;
    a.id = str(v, "id");
    a.name = str(v, "name");
    a.type = str(v, "type");
    a.url = str(v, "url");
    a.filename = str(v, "filename");
    a.updatedAt = str(v, "updatedAt");
    return a;
}

CharacterMeta::AssetGroup decodeGroup(const jsonv::json& v) {
    jsonv::requireObject(v, "assetGroup");
    CharacterMeta::AssetGroup g;
    g.id = str(v, "id");
    g.name = str(v, "name");
    g.coverUrl = str(v, "coverUrl");
    const auto& assets = jsonv::requireMember(v, "assets");
    if (!assets.is_array()) throw jsonv::JsonDecodeError("assets: expected array");
    for (const auto& a : assets) g.assets.push_back(decodeAsset(a));
    g.updatedAt = str(v, "updatedAt");
    return g;
}

jsonv::ordered_json encodeFloats(const std::vector<float>& values) {
    jsonv::ordered_json out = jsonv::ordered_json::array();
    for (float v : values) out.push_back(jsonv::encodeFloat(v));
    return out;
}

} // namespace

jsonv::ordered_json CharacterMeta::Eyelid::encode() const {
    jsonv::ordered_json out = jsonv::ordered_json::object();
    out["auto_eyelid_adjustment"] = autoEyelidAdjustment;
    out["eyelid_threshold"] = jsonv::encodeFloat(eyelidThreshold);
    out["enabled"] = enabled;
    out["targets"] = encodeFloats(targets);
    return out;
}

CharacterMeta::Eyelid CharacterMeta::Eyelid::decode(const jsonv::json& v) {
    jsonv::requireObject(v, "eyelid");
    Eyelid e;
    e.autoEyelidAdjustment =
        jsonv::decodeBool(jsonv::requireMember(v, "auto_eyelid_adjustment"), "auto_eyelid_adjustment");
    e.enabled = jsonv::decodeBool(jsonv::requireMember(v, "enabled"), "enabled");
    e.eyelidThreshold = jsonv::decodeFloat(jsonv::requireMember(v, "eyelid_threshold"), "eyelid_threshold");
    e.targets = jsonv::decodeFloatArray(jsonv::requireMember(v, "targets"), "targets");
    return e;
}

CharacterMeta CharacterMeta::decode(const jsonv::json& v) {
    jsonv::requireObject(v, "CharacterMeta");
    CharacterMeta m;
    m.id = str(v, "id");
    m.scene = strs(v, "scene");
    m.version = str(v, "version");
    m.name = str(v, "name");
    m.status = str(v, "status");
    if (auto it = v.find("characterSettings"); it != v.end() && !it->is_null()) {
        jsonv::requireObject(*it, "characterSettings");
        m.characterSettings = CharacterSettings{Eyelid::decode(jsonv::requireMember(*it, "eyelid"))};
    }
    const auto& model = jsonv::requireMember(v, "modelSettings");
    jsonv::requireObject(model, "modelSettings");
    m.modelSettings.camera = CameraSettings::decode(jsonv::requireMember(model, "camera"));
    m.modelSettings.rotation = jsonv::decodeDoubleArray(jsonv::requireMember(model, "rotation"), "rotation");
    const auto& groups = jsonv::requireMember(v, "assetGroups");
    if (!groups.is_array()) throw jsonv::JsonDecodeError("assetGroups: expected array");
    for (const auto& g : groups) m.assetGroups.push_back(decodeGroup(g));
    m.updatedAt = str(v, "updatedAt");
    return m;
}

CharacterMeta CharacterMeta::decode(std::string_view bytes) {
    std::string error;
    auto document = jsonv::parse(bytes, &error);
    if (!document) throw jsonv::JsonDecodeError("not JSON: " + error);
    return decode(*document);
}

jsonv::ordered_json CharacterMeta::encode() const {
    jsonv::ordered_json out = jsonv::ordered_json::object();
    out["id"] = id;
    out["scene"] = scene;
    out["version"] = version;
    out["name"] = name;
    out["status"] = status;
    if (characterSettings) {
        jsonv::ordered_json settings = jsonv::ordered_json::object();
        settings["eyelid"] = characterSettings->eyelid.encode();
        out["characterSettings"] = std::move(settings);
    }
    jsonv::ordered_json model = jsonv::ordered_json::object();
    model["camera"] = modelSettings.camera.encode();
    model["rotation"] = modelSettings.rotation;
    out["modelSettings"] = std::move(model);
    jsonv::ordered_json groups = jsonv::ordered_json::array();
    for (const auto& g : assetGroups) {
        jsonv::ordered_json group = jsonv::ordered_json::object();
        group["id"] = g.id;
        group["name"] = g.name;
        group["coverUrl"] = g.coverUrl;
        jsonv::ordered_json assets = jsonv::ordered_json::array();
        for (const auto& a : g.assets) {
            jsonv::ordered_json asset = jsonv::ordered_json::object();
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
