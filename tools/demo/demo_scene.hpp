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

// The kit needs no allocator setting: its splat lists and GPU buffers recycle their storage. The
// demo still lowers its peak by about 40 MB with one: blocks of 4 MiB and more get mappings of
// their own, so the large temporaries of loading go back as soon as they are freed instead of
// staying in a heap while the conversation starts (most of the gain), and all threads share two
// heaps (the PNG writers copy a 2 MB frame each).
void limitAllocatorRetention();

// The Documents directory under which the build wrote MvCharacters/synthetic.
std::filesystem::path builtDocumentsDirectory();

// Loads "synthetic" from documentsDirectory/MvCharacters; throws std::runtime_error with a
// readable message when it is missing.
SyntheticCharacter loadSyntheticCharacter(const std::filesystem::path& documentsDirectory);

// One view of width x height pixels from the character's camera: its view transform and the
// kit's perspective (near 0.01, far 100).
ViewportDescriptor characterViewport(const Mivo::CameraSettings& camera, std::uint32_t width, std::uint32_t height);

} // namespace demo
