#include "kit/io/splat_ply_row_plan.hpp"

#include "kit/io/byte_order.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace MivoKit {

namespace {

template <bool Swap>
inline float loadFloat(const std::uint8_t* at) {
    std::uint32_t bits;
    std::memcpy(&bits, at, sizeof bits);
    if constexpr (Swap) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

// The colour's alternative, switched to it only when the point held another: a reused point keeps
// its case from one batch to the next, so this is an in-place write.
template <class Alternative>
Alternative& holding(SplatScenePoint::Color& color) {
    if (auto* held = std::get_if<Alternative>(&color)) return *held;
    return color.template emplace<Alternative>();
}

} // namespace

std::optional<SplatPLYRowPlan> SplatPLYRowPlan::make(const PLYHeader& header, const PointElementMapping& mapping) {
    if (header.format == PLYHeader::Format::ascii) return std::nullopt;
    const auto& element = header.elements.at(mapping.elementTypeIndex);

    std::vector<Offset> offsets;
    offsets.reserve(element.properties.size());
    std::size_t rowSize = 0;
    for (const auto& property : element.properties) {
        const auto* type = property.type.primitive();
        if (!type) return std::nullopt; // rows of varying size
        offsets.push_back(static_cast<Offset>(rowSize));
        rowSize += PLYHeader::byteWidth(*type);
        if (rowSize > std::numeric_limits<Offset>::max()) return std::nullopt;
    }

    SplatPLYRowPlan plan;
    plan.rowSize_ = rowSize;
    plan.swap_ = (header.format == PLYHeader::Format::binaryBigEndian) != byte_order::hostIsBigEndian();
    auto at = [&](std::size_t index) { return offsets.at(index); };
    auto atAll = [&]<std::size_t N>(const std::array<std::size_t, N>& indices) {
        Offsets<N> result;
        for (std::size_t i = 0; i < N; ++i) result[i] = at(indices[i]);
        return result;
    };

    plan.position_ = {at(mapping.positionXPropertyIndex), at(mapping.positionYPropertyIndex),
                      at(mapping.positionZPropertyIndex)};
    if (mapping.normalXPropertyIndex && mapping.normalYPropertyIndex && mapping.normalZPropertyIndex)
        plan.normal_ = Offsets<3>{at(*mapping.normalXPropertyIndex), at(*mapping.normalYPropertyIndex),
                                  at(*mapping.normalZPropertyIndex)};
    plan.scale_ = {at(mapping.scaleXPropertyIndex), at(mapping.scaleYPropertyIndex), at(mapping.scaleZPropertyIndex)};
    plan.opacity_ = at(mapping.opacityPropertyIndex);
    plan.rotation_ = {at(mapping.rotation0PropertyIndex), at(mapping.rotation1PropertyIndex),
                      at(mapping.rotation2PropertyIndex), at(mapping.rotation3PropertyIndex)};
    if (mapping.binding0PropertyIndex) plan.binding_ = at(*mapping.binding0PropertyIndex);

    using Indices = PointElementMapping::Color;
    const auto& color = mapping.colorPropertyIndices;
    if (const auto* c = std::get_if<Indices::SphericalHarmonic>(&color)) {
        // One block copy needs the coefficients side by side, in order (all float32).
        for (std::size_t i = 1; i < c->rest.size(); ++i)
            if (c->rest[i] != c->rest[0] + i) return std::nullopt;
        plan.color_ = Color::SphericalHarmonic{atAll(c->dc), at(c->rest[0])};
    } else if (const auto* c = std::get_if<Indices::FirstOrderSphericalHarmonic>(&color)) {
        plan.color_ = Color::FirstOrderSphericalHarmonic{atAll(c->dc)};
    } else if (const auto* c = std::get_if<Indices::LinearFloat256>(&color)) {
        plan.color_ = Color::LinearFloat256{atAll(c->rgb)};
    } else if (const auto* c = std::get_if<Indices::LinearUInt8>(&color)) {
        plan.color_ = Color::LinearUInt8{atAll(c->rgb)};
    } else if (const auto* c = std::get_if<Indices::SuperResolution>(&color)) {
        plan.color_ = Color::SuperResolution{atAll(c->features)};
    }
    return plan;
}

std::size_t SplatPLYRowPlan::decode(const std::uint8_t* rows, std::size_t rowCount, std::span<SplatScenePoint> points,
                                    CoefficientArena* arena) const {
    const std::size_t count = std::min(rowCount, points.size());
    if (count == 0) return 0;
    return std::visit(
        [&](const auto& color) {
            return swap_ ? decodeRows<true>(color, rows, count, points.data(), arena)
                         : decodeRows<false>(color, rows, count, points.data(), arena);
        },
        color_);
}

template <bool Swap, class ColorOffsets>
std::size_t SplatPLYRowPlan::decodeRows(const ColorOffsets& color, const std::uint8_t* rows, std::size_t count,
                                        SplatScenePoint* points, CoefficientArena* arena) const {
    using PointColor = SplatScenePoint::Color;
    constexpr bool harmonic = std::is_same_v<ColorOffsets, Color::SphericalHarmonic>;
    float* coefficients = nullptr;
    if constexpr (harmonic) {
        auto room = arena->take(count);
        count = room.size() / kHigherOrderCount;
        coefficients = room.data();
    }
    const auto value = [](const std::uint8_t* row, Offset at) { return loadFloat<Swap>(row + at); };

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* row = rows + i * rowSize_;
        SplatScenePoint& point = points[i];
        point.position = {value(row, position_[0]), value(row, position_[1]), value(row, position_[2])};
        if (normal_)
            point.normal = simd::float3{value(row, (*normal_)[0]), value(row, (*normal_)[1]), value(row, (*normal_)[2])};
        else
            point.normal.reset();

        if constexpr (harmonic) {
            float* rest = coefficients + i * kHigherOrderCount;
            std::memcpy(rest, row + color.rest, kHigherOrderCount * sizeof(float));
            if constexpr (Swap)
                for (std::size_t k = 0; k < kHigherOrderCount; ++k)
                    rest[k] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(rest[k])));
            auto& c = holding<PointColor::SphericalHarmonic>(point.color);
            c.r = value(row, color.dc[0]);
            c.g = value(row, color.dc[1]);
            c.b = value(row, color.dc[2]);
            c.higherOrderCount = kHigherOrderCount;
            arena->share(c.higherOrder, rest);
        } else if constexpr (std::is_same_v<ColorOffsets, Color::FirstOrderSphericalHarmonic>) {
            holding<PointColor::FirstOrderSphericalHarmonic>(point.color) = {
                value(row, color.dc[0]), value(row, color.dc[1]), value(row, color.dc[2])};
        } else if constexpr (std::is_same_v<ColorOffsets, Color::LinearFloat256>) {
            holding<PointColor::LinearFloat256>(point.color) = {value(row, color.rgb[0]), value(row, color.rgb[1]),
                                                                value(row, color.rgb[2])};
        } else if constexpr (std::is_same_v<ColorOffsets, Color::LinearUInt8>) {
            holding<PointColor::LinearUInt8>(point.color) = {row[color.rgb[0]], row[color.rgb[1]], row[color.rgb[2]]};
        } else {
            auto& c = holding<PointColor::SuperResolution>(point.color);
            for (std::size_t k = 0; k < c.features.size(); ++k) c.features[k] = value(row, color.features[k]);
            c.count = static_cast<std::uint8_t>(c.features.size());
        }

        point.scale = SplatScenePoint::Scale::Exponent{value(row, scale_[0]), value(row, scale_[1]), value(row, scale_[2])};
        point.opacity = SplatScenePoint::Opacity::LogitFloat{value(row, opacity_)};
        // Real part rot_0, imaginary rot_1..rot_3, as read (consumers normalise).
        point.rotation = simd::quatf{value(row, rotation_[1]), value(row, rotation_[2]), value(row, rotation_[3]),
                                     value(row, rotation_[0])};
        if (binding_) point.binding = value(row, *binding_);
        else point.binding.reset();
    }
    return count;
}

} // namespace MivoKit
