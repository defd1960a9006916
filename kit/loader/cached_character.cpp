#include "kit/loader/cached_character.hpp"

#include <cmath>
#include <limits>

namespace MivoKit {

using platform::files::PropertyList;
using platform::files::PropertyListDate;
using platform::files::PropertyListError;

namespace character_loader {
namespace {

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
    throw PropertyListError("cached character: \"" + std::string(key) + "\" " + std::string(problem));
}

const PropertyList& require(const PropertyList& dict, std::string_view key) {
    const PropertyList* value = dict.find(key);
    if (value == nullptr) fail(key, "is missing");
    return *value;
}

std::string requireString(const PropertyList& dict, std::string_view key) {
    const auto* s = require(dict, key).as<std::string>();
    if (s == nullptr) fail(key, "is not a string");
    return *s;
}

bool requireBool(const PropertyList& dict, std::string_view key) {
    const auto* b = require(dict, key).as<bool>();
    if (b == nullptr) fail(key, "is not a boolean");
    return *b;
}

// A real (or an integer) that fits a 32-bit float.
float toFloat(const PropertyList& value, std::string_view key) {
    double number = 0;
    if (const auto* d = value.as<double>())
        number = *d;
    else if (const auto* i = value.as<std::int64_t>())
        number = static_cast<double>(*i);
    else
        fail(key, "is not a number");
    if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max())
        fail(key, "does not fit a float");
    return static_cast<float>(number);
}

float requireFloat(const PropertyList& dict, std::string_view key) { return toFloat(require(dict, key), key); }

const PropertyList& requireDictionary(const PropertyList& dict, std::string_view key) {
    const PropertyList& value = require(dict, key);
    if (!value.is<PropertyList::Dictionary>()) fail(key, "is not a dictionary");
    return value;
}

PropertyList encodeCamera(const Mivo::CameraSettings& c) {
    return PropertyList::Dictionary{
        {"rotation", double(c.rotation)},         {"fovyRadians", double(c.fovyRadians)},
        {"translationX", double(c.translationX)}, {"translationY", double(c.translationY)},
        {"translationZ", double(c.translationZ)},
    };
}

Mivo::CameraSettings decodeCamera(const PropertyList& d) {
    return Mivo::CameraSettings(requireFloat(d, "rotation"), requireFloat(d, "fovyRadians"),
                                requireFloat(d, "translationX"), requireFloat(d, "translationY"),
                                requireFloat(d, "translationZ"));
}

PropertyList encodeEyelid(const Mivo::CharacterMeta::Eyelid& e) {
    PropertyList::Array targets;
    for (float t : e.targets) targets.emplace_back(double(t));
    return PropertyList::Dictionary{
        {"auto_eyelid_adjustment", e.autoEyelidAdjustment},
        {"eyelid_threshold", double(e.eyelidThreshold)},
        {"enabled", e.enabled},
        {"targets", std::move(targets)},
    };
}

Mivo::CharacterMeta::Eyelid decodeEyelid(const PropertyList& d) {
    Mivo::CharacterMeta::Eyelid e;
    e.autoEyelidAdjustment = requireBool(d, "auto_eyelid_adjustment");
    e.eyelidThreshold = requireFloat(d, "eyelid_threshold");
    e.enabled = requireBool(d, "enabled");
    const auto* targets = require(d, "targets").as<PropertyList::Array>();
    if (targets == nullptr) fail("targets", "is not an array");
    for (const auto& t : *targets) e.targets.push_back(toFloat(t, "targets"));
    return e;
}

} // namespace

CachedCharacter CachedCharacter::make(const Mivo::CharacterMeta& meta, std::string resourcePath, Date createdData) {
    CachedCharacter c;
    c.createdData_ = createdData;
    c.id_ = meta.id;
    c.version_ = meta.version;
    c.cameraSettings_ = meta.modelSettings.camera;
    if (meta.characterSettings) c.eyelid_ = meta.characterSettings->eyelid;
    c.animationZipUrl_ = meta.compressAnimationAssetUrl().value_or("");
    c.modelZipUrl_ = meta.compressModelAssetUrl().value_or("");
    c.updatedAt_ = meta.updatedAt;
    c.resourcePath_ = std::move(resourcePath);
    return c;
}

PropertyList CachedCharacter::encode() const {
    PropertyList out;
    out.set("createdData", PropertyListDate::fromTimePoint(createdData_));
    out.set("id", id_);
    out.set("version", version_);
    out.set("cameraSettings", encodeCamera(cameraSettings_));
    if (eyelid_) out.set("eyelid", encodeEyelid(*eyelid_));
    out.set("animationZipUrl", animationZipUrl_);
    out.set("modelZipUrl", modelZipUrl_);
    out.set("updatedAt", updatedAt_);
    out.set("resourcePath", resourcePath_);
    return out;
}

CachedCharacter CachedCharacter::decode(const PropertyList& value) {
    if (!value.is<PropertyList::Dictionary>()) throw PropertyListError("cached character: not a dictionary");
    CachedCharacter c;
    const auto* date = require(value, "createdData").as<PropertyListDate>();
    if (date == nullptr) fail("createdData", "is not a date");
    c.createdData_ = date->timePoint();
    c.id_ = requireString(value, "id");
    c.version_ = requireString(value, "version");
    c.cameraSettings_ = decodeCamera(requireDictionary(value, "cameraSettings"));
    if (const PropertyList* eyelid = value.find("eyelid")) {
        if (!eyelid->is<PropertyList::Dictionary>()) fail("eyelid", "is not a dictionary");
        c.eyelid_ = decodeEyelid(*eyelid);
    }
    c.animationZipUrl_ = requireString(value, "animationZipUrl");
    c.modelZipUrl_ = requireString(value, "modelZipUrl");
    c.updatedAt_ = requireString(value, "updatedAt");
    c.resourcePath_ = requireString(value, "resourcePath");
    return c;
}

} // namespace character_loader

} // namespace MivoKit
