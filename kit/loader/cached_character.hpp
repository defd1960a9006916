#pragma once
// One record of the character cache index: what a downloaded character's description said and
// where its archives were unpacked. Stored as a property-list dictionary under the field names.

#include "kit/model/character.hpp"
#include "kit/model/character_meta.hpp"
#include "platform/files/property_list.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace MivoKit {

namespace character_loader {

class CachedCharacter {
public:
    using Date = std::chrono::system_clock::time_point;

    // The record of `meta` unpacked into the directory whose file URL is `resourcePath`.
    static CachedCharacter make(const Mivo::CharacterMeta& meta, std::string resourcePath, Date createdData);

    // A dictionary with the keys "createdData" (date), "id", "version", "cameraSettings",
    // "eyelid" (left out when absent), "animationZipUrl", "modelZipUrl", "updatedAt" and
    // "resourcePath".
    platform::files::PropertyList encode() const;
    // Every key but "eyelid" is required, with its type; throws PropertyListError naming the key.
    static CachedCharacter decode(const platform::files::PropertyList& value);

    Date createdData() const { return createdData_; }
    void setCreatedData(Date date) { createdData_ = date; }
    const std::string& id() const { return id_; }
    const std::string& version() const { return version_; }
    const Mivo::CameraSettings& cameraSettings() const { return cameraSettings_; }
    const std::optional<Mivo::CharacterMeta::Eyelid>& eyelid() const { return eyelid_; }
    void setEyelid(std::optional<Mivo::CharacterMeta::Eyelid> eyelid) { eyelid_ = std::move(eyelid); }
    const std::string& animationZipUrl() const { return animationZipUrl_; }
    const std::string& modelZipUrl() const { return modelZipUrl_; }
    const std::string& updatedAt() const { return updatedAt_; }
    // The absolute file URL text of the character directory.
    const std::string& resourcePath() const { return resourcePath_; }

private:
    CachedCharacter() = default;

    Date createdData_;
    std::string id_;
    std::string version_;
    Mivo::CameraSettings cameraSettings_;
    std::optional<Mivo::CharacterMeta::Eyelid> eyelid_;
    std::string animationZipUrl_;
    std::string modelZipUrl_;
    std::string updatedAt_;
    std::string resourcePath_;
};

} // namespace character_loader

} // namespace MivoKit
