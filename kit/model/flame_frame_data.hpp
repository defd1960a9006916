#pragma once
// One video frame of head motion: the FLAME parameters for one instant (25 frames per second).

#include "platform/simd/simd.hpp"

#include <optional>
#include <vector>

namespace MivoKit {

struct FlameFrameData {
    simd::float3 translation;        // added to every posed vertex
    std::vector<float> rotation;     // global rotation, axis-angle (3)
    std::vector<float> expr;         // expression coefficients (at most 100 meaningful)
    std::vector<float> neck_pose;    // axis-angle (3)
    std::vector<float> jaw_pose;     // axis-angle (3)
    std::vector<float> eyes_pose;    // two axis-angle triples, one per eye (6)
    std::optional<std::vector<float>> eyelid;                   // left, right eyelid weights
    std::optional<std::vector<float>> shape;                    // identity coefficients (at most 300)
    std::optional<std::vector<std::vector<float>>> static_offset; // one row of 3 per vertex

    FlameFrameData() = default;

    // Note the order: shape, static_offset and eyelid come last, unlike the fields.
    FlameFrameData(simd::float3 translation, std::vector<float> rotation, std::vector<float> expr,
                   std::vector<float> neck_pose, std::vector<float> jaw_pose, std::vector<float> eyes_pose,
                   std::optional<std::vector<float>> shape,
                   std::optional<std::vector<std::vector<float>>> static_offset,
                   std::optional<std::vector<float>> eyelid)
        : translation(translation), rotation(std::move(rotation)), expr(std::move(expr)),
          neck_pose(std::move(neck_pose)), jaw_pose(std::move(jaw_pose)), eyes_pose(std::move(eyes_pose)),
          eyelid(std::move(eyelid)), shape(std::move(shape)), static_offset(std::move(static_offset)) {}
};

} // namespace MivoKit
