// Camera settings in JSON (the description's "modelSettings.camera" and the character's coded
// form), and the view transform the player makes of them.

#include "fuzz/fuzz_support.hpp"
#include "kit/model/camera_math.hpp"
#include "kit/model/character.hpp"
#include "kit/model/transform.hpp"

#include <cmath>
#include <optional>

using namespace MivoKit;

using json_values::JsonDecodeError;
using Mivo::CameraSettings;

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    const auto file = fuzz::readFile(fuzz::syntheticCharacterDirectory() / "character.json");
    const auto character = json_values::parse(std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
    if (!character) fuzz::fail("the synthetic character.json is not JSON");
    seeds.push_back(fuzz::bytesOf(character->at("camera").dump()));
    for (const auto& camera : {CameraSettings(0.25f, 0.5f, -0.01f, 0.02f, 1.5f),
                               CameraSettings(3.4028235e38f, -3.4028235e38f, 1e-45f, -1e-38f, -0.0f),
                               CameraSettings(0.1f, 0.2f, 0.3f, 0.4f, 0.5f)})
        seeds.push_back(fuzz::bytesOf(camera.encode().dump()));
    seeds.push_back(fuzz::bytesOf(R"({"rotation":1,"fovyRadians":2,"translationX":3,"translationY":4,"translationZ":18446744073709551615})"));
    seeds.push_back(fuzz::bytesOf(R"({"rotation":"1","fovyRadians":null,"translationX":true,"translationY":[],"translationZ":{}})"));
    seeds.push_back(fuzz::bytesOf(R"({"rotation":1e39,"fovyRadians":-1e-400,"translationX":0,"translationY":0,"translationZ":0})"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto document = json_values::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!document) return 0;
    std::optional<CameraSettings> camera;
    fuzz::endsWithOnly<JsonDecodeError>("CameraSettings::decode", [&] { camera = CameraSettings::decode(*document); });
    if (!camera) return 0;
    for (float value : {camera->rotation, camera->fovyRadians, camera->translationX, camera->translationY, camera->translationZ})
        if (!std::isfinite(value)) fuzz::fail("decoded camera settings hold a value that is not finite");

    // What decodes encodes again and reads back the same.
    const auto encoded = camera->encode().dump();
    std::optional<CameraSettings> again;
    fuzz::endsWithOnly<JsonDecodeError>("CameraSettings::decode of its own encoding", [&] {
        const auto reparsed = json_values::parse(encoded);
        if (!reparsed) fuzz::fail("camera settings encode to text that is not JSON: " + encoded);
        again = CameraSettings::decode(*reparsed);
    });
    if (!again) fuzz::fail("decoded camera settings do not decode from their own encoding: " + encoded);
    if (!(*again == *camera)) fuzz::fail("camera settings change through their own encoding: " + encoded);

    // The player's view transform: a plain translation, a turn about y and the field of view.
    const auto transform = Mivo::Transform(simd::float4x4::identity(), rotationMatrix(0, {0, 1, 0}), 0)
                               .transform(camera->rotation, camera->fovyRadians, camera->translationX,
                                          camera->translationY, camera->translationZ);
    const auto& t = transform.translation.columns[3];
    if (t.x != camera->translationX || t.y != camera->translationY || t.z != camera->translationZ || t.w != 1)
        fuzz::fail("the view transform does not carry the camera's translation");
    // The axis stays put (its length 1 within rounding: c + (1 - c)).
    const auto& up = transform.rotation.columns[1];
    if (up.x != 0 || std::fabs(up.y - 1) > 1e-6f || up.z != 0 || transform.fovyRadians != camera->fovyRadians)
        fuzz::fail("the view transform turns about another axis than y");
    return 0;
}
