#pragma once
// Writing the synthetic assets: the head model resources and the character directory.

#include "tools/flame_assets/synthetic_head.hpp"

#include <filesystem>

using namespace MivoKit;

namespace synthetic {

// "flame_model.pb", "flame_model_2020.pb", "head_template_mesh.obj", "flame_landmark_embedding.json",
// "l_eyelid.json", "r_eyelid.json" and "flame_masks.json".
void writeModelResources(const Head& head, const std::filesystem::path& resourceDirectory);

// "character.json", "animation/idle.json", "model/shape.json", "model/static_offset.json" and
// "model/point_cloud.ply". The point cloud is bound to the head that the kit loads from
// `resourceDirectory`, so that directory must hold the model resources.
void writeCharacter(const Head& head, const std::filesystem::path& resourceDirectory,
                    const std::filesystem::path& characterDirectory);

} // namespace synthetic
