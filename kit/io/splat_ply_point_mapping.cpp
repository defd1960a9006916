#include "kit/io/splat_ply_point_mapping.hpp"

#include "kit/io/splat_ply_scene_reader.hpp"
#include "kit/model/overloaded.hpp"

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace {

using Error = SplatPLYSceneReader::Error;
using Type = PLYHeader::PrimitivePropertyType;
using Names = std::initializer_list<std::string_view>;

std::string inQuotes(std::string_view name) { return "\"" + std::string(name) + "\""; }

// Property lookups on the element: only the first property bearing a name is ever considered.
class Lookup {
public:
    explicit Lookup(const PLYHeader::Element& element) : element_(element) {}

    // The index of the first listed name present; it must be a single value of `type`.
    std::optional<std::size_t> optional(Names names, Type type) const {
        for (auto name : names) {
            auto index = element_.index(name);
            if (!index) continue;
            const auto* found = element_.properties[*index].type.primitive();
            if (!found || *found != type)
                throw Error::unsupportedFileContents("Unexpected type for property " + inQuotes(name));
            return index;
        }
        return std::nullopt;
    }

    std::size_t required(Names names, Type type) const {
        if (auto index = optional(names, type)) return *index;
        std::string_view first = names.size() > 0 ? *names.begin() : std::string_view("(none)");
        throw Error::unsupportedFileContents("No property named " + inQuotes(first) + " found");
    }

    // True when some listed name is present as a single value of `type`; never throws.
    bool present(Names names, Type type) const {
        for (auto name : names) {
            auto index = element_.index(name);
            if (!index) continue;
            const auto* found = element_.properties[*index].type.primitive();
            if (found && *found == type) return true;
        }
        return false;
    }

    bool named(std::string_view name) const { return element_.index(name).has_value(); }

    // prefix0 ... prefix(N-1), each a float32 property.
    template <std::size_t N>
    std::array<std::size_t, N> numbered(std::string_view prefix) const {
        std::array<std::size_t, N> indices{};
        for (std::size_t i = 0; i < N; ++i) {
            std::string name = std::string(prefix) + std::to_string(i);
            auto index = optional({name}, Type::float32);
            if (!index) throw Error::unsupportedFileContents("No property named " + inQuotes(name) + " found");
            indices[i] = *index;
        }
        return indices;
    }

private:
    const PLYHeader::Element& element_;
};

PointElementMapping::Color::Indices colorIndices(const Lookup& lookup) {
    using Color = PointElementMapping::Color;
    if (auto dc0 = lookup.optional({"f_dc_0"}, Type::float32)) {
        if (auto dc1 = lookup.optional({"f_dc_1"}, Type::float32)) {
            if (auto dc2 = lookup.optional({"f_dc_2"}, Type::float32)) {
                std::array<std::size_t, 3> dc{*dc0, *dc1, *dc2};
                if (lookup.named("f_rest_0")) return Color::SphericalHarmonic{dc, lookup.numbered<45>("f_rest_")};
                return Color::FirstOrderSphericalHarmonic{dc};
            }
        }
    }
    for (Type type : {Type::float32, Type::uint8}) {
        if (lookup.present({"red"}, type) && lookup.present({"green"}, type) && lookup.present({"blue"}, type)) {
            std::array<std::size_t, 3> rgb{lookup.required({"red"}, type), lookup.required({"green"}, type),
                                           lookup.required({"blue"}, type)};
            if (type == Type::float32) return Color::LinearFloat256{rgb};
            return Color::LinearUInt8{rgb};
        }
    }
    if (lookup.named("f_sr_0")) return Color::SuperResolution{lookup.numbered<8>("f_sr_")};
    throw Error::unsupportedFileContents("No color property elements found with the expected types");
}

[[noreturn, gnu::noinline, gnu::cold]] void unexpectedType(std::size_t index) {
    throw Error::internalConsistency("Unexpected type for property at index " + std::to_string(index));
}

template <class T>
inline T value(const PLYElement& element, std::size_t index) {
    const T* v = index < element.properties.size() ? std::get_if<T>(&element.properties[index]) : nullptr;
    if (!v) unexpectedType(index);
    return *v;
}

float floatValue(const PLYElement& element, std::size_t index) { return value<float>(element, index); }

template <std::size_t N>
std::array<float, N> floatValues(const PLYElement& element, const std::array<std::size_t, N>& indices) {
    std::array<float, N> values;
    for (std::size_t i = 0; i < N; ++i) values[i] = floatValue(element, indices[i]);
    return values;
}

} // namespace

PointElementMapping::PointElementMapping(const PLYHeader& header) {
    auto vertex = header.index("vertex");
    if (!vertex) throw Error::unsupportedFileContents("No element type \"vertex\" found");
    elementTypeIndex = *vertex;
    Lookup lookup(header.elements[elementTypeIndex]);

    positionXPropertyIndex = lookup.required({"x"}, Type::float32);
    positionYPropertyIndex = lookup.required({"y"}, Type::float32);
    positionZPropertyIndex = lookup.required({"z"}, Type::float32);

    normalXPropertyIndex = lookup.optional({"nx", "nxx"}, Type::float32);
    normalYPropertyIndex = lookup.optional({"ny"}, Type::float32);
    normalZPropertyIndex = lookup.optional({"nz"}, Type::float32);

    colorPropertyIndices = colorIndices(lookup);

    scaleXPropertyIndex = lookup.required({"scale_0"}, Type::float32);
    scaleYPropertyIndex = lookup.required({"scale_1"}, Type::float32);
    scaleZPropertyIndex = lookup.required({"scale_2"}, Type::float32);
    opacityPropertyIndex = lookup.required({"opacity"}, Type::float32);
    rotation0PropertyIndex = lookup.required({"rot_0"}, Type::float32);
    rotation1PropertyIndex = lookup.required({"rot_1"}, Type::float32);
    rotation2PropertyIndex = lookup.required({"rot_2"}, Type::float32);
    rotation3PropertyIndex = lookup.required({"rot_3"}, Type::float32);
    binding0PropertyIndex = lookup.required({"binding_0"}, Type::float32);
}

void PointElementMapping::fill(SplatScenePoint& point, const PLYElement& element) const {
    using PointColor = SplatScenePoint::Color;
    point.position = {floatValue(element, positionXPropertyIndex), floatValue(element, positionYPropertyIndex),
                      floatValue(element, positionZPropertyIndex)};

    if (normalXPropertyIndex && normalYPropertyIndex && normalZPropertyIndex)
        point.normal = simd::float3{floatValue(element, *normalXPropertyIndex),
                                    floatValue(element, *normalYPropertyIndex),
                                    floatValue(element, *normalZPropertyIndex)};
    else
        point.normal.reset();

    std::visit(Overloaded{
                   [&](const Color::SphericalHarmonic& c) {
                       // Every point gets a block of its own: this path is the reference, not the fast one.
                       auto rest = std::make_shared_for_overwrite<float[]>(c.rest.size());
                       for (std::size_t i = 0; i < c.rest.size(); ++i) rest[i] = floatValue(element, c.rest[i]);
                       auto dc = floatValues(element, c.dc);
                       const float* first = rest.get();
                       point.color = PointColor::SphericalHarmonic(dc[0], dc[1], dc[2],
                                                                   std::shared_ptr<const float>(std::move(rest), first),
                                                                   static_cast<std::uint32_t>(c.rest.size()));
                   },
                   [&](const Color::FirstOrderSphericalHarmonic& c) {
                       auto dc = floatValues(element, c.dc);
                       point.color = PointColor::FirstOrderSphericalHarmonic{dc[0], dc[1], dc[2]};
                   },
                   [&](const Color::LinearFloat256& c) {
                       auto rgb = floatValues(element, c.rgb);
                       point.color = PointColor::LinearFloat256{rgb[0], rgb[1], rgb[2]};
                   },
                   [&](const Color::LinearUInt8& c) {
                       point.color = PointColor::LinearUInt8{value<std::uint8_t>(element, c.rgb[0]),
                                                             value<std::uint8_t>(element, c.rgb[1]),
                                                             value<std::uint8_t>(element, c.rgb[2])};
                   },
                   [&](const Color::SuperResolution& c) {
                       auto features = floatValues(element, c.features);
                       point.color = PointColor::SuperResolution(std::span<const float>(features));
                   },
               },
               colorPropertyIndices);

    point.scale = SplatScenePoint::Scale::Exponent{floatValue(element, scaleXPropertyIndex),
                                                   floatValue(element, scaleYPropertyIndex),
                                                   floatValue(element, scaleZPropertyIndex)};
    point.opacity = SplatScenePoint::Opacity::LogitFloat{floatValue(element, opacityPropertyIndex)};
    // Real part rot_0, imaginary rot_1..rot_3, as read (consumers normalise).
    point.rotation = simd::quatf{floatValue(element, rotation1PropertyIndex), floatValue(element, rotation2PropertyIndex),
                                 floatValue(element, rotation3PropertyIndex), floatValue(element, rotation0PropertyIndex)};
    if (binding0PropertyIndex) point.binding = floatValue(element, *binding0PropertyIndex);
    else point.binding.reset();
}

} // namespace MivoKit
