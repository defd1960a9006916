#pragma once
// The synthetic character as the demo and the render benchmark use it: loaded from the directory
// the asset generator writes at build time, posed by its buffer provider, and viewed through the
// camera its settings describe, as the kit's draw loop builds it.

#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/model/character.hpp"
#include "kit/render/splat.hpp"

#include <filesystem>
#include <memory>

using namespace MivoKit;

namespace demo {

struct SyntheticCharacter {
    Mivo::Character character;
    std::unique_ptr<MvCharacterBufferProvider> provider;
    FlameVersion flameVersion;

    // The splats of the idle animation's next frame (the animation loops).
    SplatMemoryBuffer nextIdleFrame();
};

// The Documents directory under which the build wrote MvCharacters/synthetic.
std::filesystem::path builtDocumentsDirectory();

// Loads "synthetic" from documentsDirectory/MvCharacters; throws std::runtime_error with a
// readable message when it is missing.
SyntheticCharacter loadSyntheticCharacter(const std::filesystem::path& documentsDirectory);

// One view of width x height pixels from the character's camera: its view transform and the
// kit's perspective (near 0.01, far 100).
ViewportDescriptor characterViewport(const Mivo::CameraSettings& camera, std::uint32_t width, std::uint32_t height);

} // namespace demo
