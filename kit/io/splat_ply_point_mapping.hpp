#pragma once
// Which property of a splat PLY file's "vertex" element feeds which field of a SplatScenePoint,
// and filling a point from one element with it.

#include "kit/io/ply_element.hpp"
#include "kit/io/ply_header.hpp"
#include "kit/model/splat_scene_point.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <variant>

namespace MivoKit {

struct PointElementMapping {
    // Property indices of each colour encoding, in the order of SplatScenePoint::Color.
    struct Color {
        struct SphericalHarmonic {
            std::array<std::size_t, 3> dc;
            std::array<std::size_t, 45> rest;
        };
        struct FirstOrderSphericalHarmonic {
            std::array<std::size_t, 3> dc;
        };
        struct LinearFloat256 {
            std::array<std::size_t, 3> rgb;
        };
        struct LinearUInt8 {
            std::array<std::size_t, 3> rgb;
        };
        struct SuperResolution {
            std::array<std::size_t, 8> features;
        };
        using Indices = std::variant<SphericalHarmonic, FirstOrderSphericalHarmonic, LinearFloat256, LinearUInt8,
                                     SuperResolution>;
    };

    std::size_t elementTypeIndex = 0;
    std::size_t positionXPropertyIndex = 0, positionYPropertyIndex = 0, positionZPropertyIndex = 0;
    std::optional<std::size_t> normalXPropertyIndex, normalYPropertyIndex, normalZPropertyIndex;
    Color::Indices colorPropertyIndices;
    std::size_t scaleXPropertyIndex = 0, scaleYPropertyIndex = 0, scaleZPropertyIndex = 0;
    std::size_t opacityPropertyIndex = 0;
    std::size_t rotation0PropertyIndex = 0, rotation1PropertyIndex = 0, rotation2PropertyIndex = 0,
                rotation3PropertyIndex = 0;
    std::optional<std::size_t> binding0PropertyIndex;

    // Works the mapping out from the header. Throws SplatPLYSceneReader::Error
    // (unsupportedFileContents) for a header without the needed properties or with wrong types.
    explicit PointElementMapping(const PLYHeader& header);

    // Sets every field of `point` from `element`, an instance of the mapped element. Throws
    // SplatPLYSceneReader::Error (internalConsistency) for a value of an unexpected type.
    void fill(SplatScenePoint& point, const PLYElement& element) const;
};

} // namespace MivoKit
