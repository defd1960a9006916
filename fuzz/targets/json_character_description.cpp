// The character description: the body of the character service's answer, decoded strictly, then
// kept in the character cache index.

#include "fuzz/fuzz_support.hpp"
#include "kit/loader/cached_character.hpp"
#include "kit/model/character_meta.hpp"
#include "platform/files/property_list.hpp"

#include <chrono>
#include <optional>

using namespace MivoKit;

using character_loader::CachedCharacter;
using json_values::JsonDecodeError;
using Mivo::CharacterMeta;

namespace {

std::string text(const json_values::ordered_json& value) { return value.dump(); }

CharacterMeta sample() {
    CharacterMeta meta;
    meta.id = "synthetic";
    meta.scene = {"chat", "call"};
    meta.version = "0.1";
    meta.name = "Synthetic";
    meta.status = "STATUS_READY";
    meta.characterSettings = CharacterMeta::CharacterSettings{{true, true, 0.35f, {0.1f, 0.9f}}};
    meta.modelSettings.camera = Mivo::CameraSettings(0, 0.5f, 0, -0.005f, 0.62f);
    meta.modelSettings.rotation = {0, 1.5, -0.25};
    CharacterMeta::AssetGroup group;
    group.id = "g1";
    group.name = "default";
    group.coverUrl = "https://example.invalid/cover.png";
    group.updatedAt = "2026-01-01T00:00:00Z";
    group.assets.push_back({"a1", "model", "ASSET_TYPE_COMPRESS_MODEL", "https://example.invalid/m.zip", "m.zip", "1"});
    group.assets.push_back({"a2", "anim", "ASSET_TYPE_COMPRESS_ANIMATION", "https://example.invalid/a.zip", "a.zip", "2"});
    group.assets.push_back({"a3", "cover", "ASSET_TYPE_COVER", "https://example.invalid/c.png", "c.png", "3"});
    meta.assetGroups.push_back(group);
    meta.updatedAt = "2026-12-01T00:00:00Z";
    return meta;
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    auto meta = sample();
    seeds.push_back(fuzz::bytesOf(text(meta.encode())));
    meta.characterSettings.reset();
    meta.assetGroups.push_back(meta.assetGroups.front());
    meta.assetGroups.back().assets.clear();
    seeds.push_back(fuzz::bytesOf(text(meta.encode())));
    meta.assetGroups.clear();
    meta.scene.clear();
    meta.modelSettings.camera = Mivo::CameraSettings(3.4028235e38f, -1e-45f, 1e-38f, -0.0f, 1);
    seeds.push_back(fuzz::bytesOf(text(meta.encode())));
    // Text beyond ASCII everywhere, and a NUL character in a stamp.
    meta = sample();
    meta.name = "数字人 \U0001F600 é";
    meta.updatedAt = "2026-12-01T00:00:00+08:00 \u00fc";
    meta.assetGroups.front().assets.front().url = "https://example.invalid/模型.zip";
    seeds.push_back(fuzz::bytesOf(text(meta.encode())));
    meta.updatedAt = std::string("2026\0", 5);
    seeds.push_back(fuzz::bytesOf(text(meta.encode())));
    // Keys the decoder does not know, null settings, and a wrong type deep inside.
    seeds.push_back(fuzz::bytesOf(R"({"id":"x","scene":[],"version":"1.0","name":"","status":"","characterSettings":null,
"modelSettings":{"camera":{"rotation":0,"fovyRadians":0.5,"translationX":0,"translationY":0,"translationZ":1},
"rotation":[]},"assetGroups":[],"updatedAt":"","extra":{"nested":[1,2,{"deep":true}]}})"));
    seeds.push_back(fuzz::bytesOf(R"({"id":"x","scene":["a"],"version":"1.0","name":"n","status":"s",
"characterSettings":{"eyelid":{"auto_eyelid_adjustment":false,"enabled":true,"eyelid_threshold":1e39,"targets":[1]}},
"modelSettings":{"camera":{"rotation":"0","fovyRadians":0.5,"translationX":0,"translationY":0,"translationZ":1},
"rotation":[1]},"assetGroups":[{"id":"g","name":"n","coverUrl":"c","assets":[{}],"updatedAt":"u"}],"updatedAt":"u"})"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    std::optional<CharacterMeta> meta;
    fuzz::endsWithOnly<JsonDecodeError>("CharacterMeta::decode", [&] {
        meta = CharacterMeta::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    });
    if (!meta) return 0;

    // What decodes encodes again and reads back the same.
    std::string encoded;
    fuzz::endsWithOnly<>("CharacterMeta::encode", [&] { encoded = text(meta->encode()); });
    std::optional<CharacterMeta> again;
    fuzz::endsWithOnly<JsonDecodeError>("CharacterMeta::decode of its own encoding",
                                        [&] { again = CharacterMeta::decode(std::string_view(encoded)); });
    if (!again) fuzz::fail("a decoded description does not decode from its own encoding: " + encoded);
    if (text(again->encode()) != encoded) fuzz::fail("a decoded description changes through its own encoding");
    if (meta->characterSettings) {
        const auto& eyelid = meta->characterSettings->eyelid;
        const auto& eyelidAgain = again->characterSettings->eyelid;
        if (!(eyelid == eyelidAgain) || std::hash<CharacterMeta::Eyelid>{}(eyelid) != std::hash<CharacterMeta::Eyelid>{}(eyelidAgain))
            fuzz::fail("equal eyelid settings compare or hash differently");
    }

    // The loader keeps what the description says in the cache index; it reads back the same.
    const auto created = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    const auto record = CachedCharacter::make(*meta, "file:///tmp/characters/x/", created);
    std::optional<CachedCharacter> stored;
    fuzz::endsWithOnly<platform::files::PropertyListError>("CachedCharacter round trip", [&] {
        stored = CachedCharacter::decode(
            platform::files::decodePropertyList(platform::files::encodeBinaryPropertyList(record.encode())));
    });
    if (!stored) fuzz::fail("the cache record of a decoded description does not read back");
    if (stored->id() != meta->id || stored->version() != meta->version || stored->updatedAt() != meta->updatedAt ||
        !(stored->cameraSettings() == meta->modelSettings.camera) ||
        stored->animationZipUrl() != meta->compressAnimationAssetUrl().value_or("") ||
        stored->modelZipUrl() != meta->compressModelAssetUrl().value_or(""))
        fuzz::fail("the cache record of a description does not keep what it said");
    const std::optional<CharacterMeta::Eyelid> eyelid =
        meta->characterSettings ? std::optional(meta->characterSettings->eyelid) : std::nullopt;
    if (stored->eyelid() != eyelid) fuzz::fail("the cache record of a description does not keep its eyelid settings");
    return 0;
}
