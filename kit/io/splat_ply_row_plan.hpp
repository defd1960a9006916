#pragma once
// Decodes whole binary rows of a splat PLY file's vertex element straight into points. The byte
// offset of every field is worked out once from the header, so a row costs a few loads and, for
// the 45 higher-order coefficients, one 180-byte copy (byte-swapped for a file of the other byte
// order), with no value-by-value decoding and no allocation per point.
//
// Only binary files whose vertex element holds scalars only, with f_rest_0 ... f_rest_44 side by
// side in order, get a plan; every other layout goes through PointElementMapping::fill, the
// reference this plan must agree with point for point.

#include "kit/io/coefficient_arena.hpp"
#include "kit/io/ply_header.hpp"
#include "kit/io/splat_ply_point_mapping.hpp"
#include "kit/model/splat_scene_point.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

namespace MivoKit {

class SplatPLYRowPlan {
public:
    // The plan for the vertex element `mapping` found in `header`; none when the file needs the
    // general path.
    static std::optional<SplatPLYRowPlan> make(const PLYHeader& header, const PointElementMapping& mapping);

    // Bytes per row.
    std::size_t rowSize() const { return rowSize_; }
    // True when points carry higher-order coefficients, which decode() keeps in an arena.
    bool needsArena() const { return std::holds_alternative<Color::SphericalHarmonic>(color_); }
    static constexpr std::size_t kHigherOrderCount = 45;

    // Fills points from the rows at `rows`, at most min(rowCount, points.size()) and, with an arena,
    // as many as its current block has room for; the number of rows decoded (at least one when
    // both counts are).
    std::size_t decode(const std::uint8_t* rows, std::size_t rowCount, std::span<SplatScenePoint> points,
                       CoefficientArena* arena) const;

private:
    using Offset = std::uint32_t;
    template <std::size_t N>
    using Offsets = std::array<Offset, N>;

    // Byte offsets of each colour encoding's values, in the order of SplatScenePoint::Color.
    struct Color {
        struct SphericalHarmonic {
            Offsets<3> dc;
            Offset rest; // the first of 45 adjacent floats
        };
        struct FirstOrderSphericalHarmonic {
            Offsets<3> dc;
        };
        struct LinearFloat256 {
            Offsets<3> rgb;
        };
        struct LinearUInt8 {
            Offsets<3> rgb;
        };
        struct SuperResolution {
            Offsets<8> features;
        };
        using Offsets = std::variant<SphericalHarmonic, FirstOrderSphericalHarmonic, LinearFloat256, LinearUInt8,
                                     SuperResolution>;
    };

    template <bool Swap, class ColorOffsets>
    std::size_t decodeRows(const ColorOffsets& color, const std::uint8_t* rows, std::size_t count,
                           SplatScenePoint* points, CoefficientArena* arena) const;

    std::size_t rowSize_ = 0;
    bool swap_ = false; // the file's byte order is not the machine's
    Offsets<3> position_{};
    std::optional<Offsets<3>> normal_;
    Color::Offsets color_;
    Offsets<3> scale_{};
    Offset opacity_ = 0;
    Offsets<4> rotation_{}; // rot_0 ... rot_3
    std::optional<Offset> binding_;
};

} // namespace MivoKit
