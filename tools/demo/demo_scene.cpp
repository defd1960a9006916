#include "tools/demo/demo_scene.hpp"

#include "kit/model/camera_math.hpp"
#include "kit/model/transform.hpp"
#include "platform/files/directories.hpp"

#include <malloc.h>

#include <stdexcept>

using namespace MivoKit;

namespace demo {

void limitAllocatorRetention() {
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
}

std::filesystem::path builtDocumentsDirectory() { return MIVO_SYNTHETIC_DOCUMENTS_DIR; }

SyntheticCharacter loadSyntheticCharacter(const std::filesystem::path& documentsDirectory) {
    platform::files::setDocumentsDirectory(documentsDirectory);
    auto character = Mivo::Character::createCharacter("synthetic");
    if (!character)
        throw std::runtime_error("no synthetic character under " + (documentsDirectory / "MvCharacters").string() +
                                 " (build the project first)");
    auto provider = std::make_unique<MvCharacterBufferProvider>(
        character->assetPaths(), platform::audio::AudioFormat::standard(16000, 1));
    const FlameVersion version = fromRaw<FlameVersion>(character->configuration().flameVersion).value_or(FlameVersion::V_2023);
    return SyntheticCharacter{std::move(*character), std::move(provider), version};
}

SplatMemoryBuffer SyntheticCharacter::nextIdleFrame() {
    const auto frame = character.idleAnimation()->nextFrame();
    if (!frame) throw std::runtime_error("the synthetic character has no idle frames");
    auto splats = provider->makeSplatBuffer(*frame, flameVersion);
    if (!splats) throw std::runtime_error("the buffer provider made no splats");
    return std::move(*splats);
}

ViewportDescriptor characterViewport(const Mivo::CameraSettings& camera, std::uint32_t width, std::uint32_t height) {
    const Mivo::Transform transform = Mivo::Transform().transform(camera.rotation, camera.fovyRadians,
                                                                  camera.translationX, camera.translationY,
                                                                  camera.translationZ);
    ViewportDescriptor v;
    v.viewport = {0, 0, double(width), double(height), 0, 1};
    v.projectionMatrix = perspectiveMatrix(transform.fovyRadians, float(width) / float(height), 0.01f, 100.0f);
    v.viewMatrix = simd::inverse(transform.translation) * simd::inverse(transform.rotation);
    v.screenSize = {width, height};
    return v;
}

} // namespace demo
